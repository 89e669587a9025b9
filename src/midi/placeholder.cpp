// midi
