// Entry point of bw-vellacor-ctl.
#include "app/command_line.h"

int main(int argc, char** argv)
{
    return runCommandLine(argc, argv);
}
