// Declares and parses the options, then runs one command and turns its result into a status.
#pragma once

// Prints the usage text through Qt's info-level logging, argv[0] as the program name.
void printUsage(char** argv);

// The whole program: returns the process exit status (0, 1 or 2).
int runCommandLine(int argc, char** argv);
