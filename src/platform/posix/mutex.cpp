// the Windows-API layer
