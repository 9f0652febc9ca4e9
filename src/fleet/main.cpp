// Entry point of updater-fleet.
#include "Fleet.h"

int main(int argc, char** argv) { return fleet_main(argc, argv); }
