// libcmdstub carries no functions of its own: it exists so that images which
// link against it pull in the platform libraries it depends on.
