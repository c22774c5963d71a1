// Entry point of bw-vellacor-backups, the administrator's companion of bw-vellacor-ctl.
#include "companion/command_line.h"

int main(int argc, char** argv)
{
    return runCompanion(argc, argv);
}
