"""Stand-in for the package's topology subpackage."""
