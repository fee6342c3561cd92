"""Internal building blocks shared by the package's modules."""
