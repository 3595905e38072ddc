// The program entry: the one process object, then the framework takes over.
#include "proxy.h"

static Proxy proxy;

int main(int argc, char** argv, char** envp) { return ZProcessMain(argc, argv, envp); }
