"""Stand-in host application: the package that the compiled modules extend."""
