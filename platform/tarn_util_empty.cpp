// The board maker's companion library exports nothing that this system uses.
