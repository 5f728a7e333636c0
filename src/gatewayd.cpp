// gatewayd's main(). The program's logic, main's steps included, lives in
// main.cpp inside the gateway_core library, which the tests link too; this
// file only holds the entry point that a library must not define.
#include "Gateway.h"

int main(int argc, char** argv) { return RunGateway(argc, argv); }
