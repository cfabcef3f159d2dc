#include "zam32/commands.h"

int main(int argc, char** argv) { return Zam32Main(argc, argv); }
