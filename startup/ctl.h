// "merovane ctl": control of the running instance of the same home from a
// shell, through the panel's commands over HTTP on the listen address with
// the token of the registry file. Exit status 0 done, 1 refused (with a
// message on stderr), 3 no instance answers.
#pragma once

int ctl_main(int argc, char** argv);
