// Entry point of the updater command.
#include "Parameters.h"

int main(int argc, char** argv) { return updater_main(argc, argv); }
