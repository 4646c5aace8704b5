#include "core/main.h"

int main(int argc, char** argv) { return PlcMain(argc, argv); }
