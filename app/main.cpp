#include "app/cli.h"

int main(int argc, char** argv) { return cmMain(argc, argv); }
