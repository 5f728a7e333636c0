// gwctl: the platform console (see Console.h and docs/protocol.md).
#include "Console.h"

int main(int argc, char** argv) { return gwctl::RunConsole(argc, argv); }
