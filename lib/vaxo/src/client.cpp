// the client library
