// The command line of bw-vellacor-backups: one command and its options, then the exit status.
#pragma once

// The whole program: returns the process exit status (0, 1 or 2).
int runCompanion(int argc, char** argv);
