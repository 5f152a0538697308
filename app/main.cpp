// KeltAppClient: the tray-resident replication client. One instance per user;
// a second start ends at once, silently, with exit code 0.
#include "app/Program.h"

int main(int argc, char** argv) { return RunProgram(argc, argv); }
