"""The parts of a GenICam PFNC designation, one module each."""
