#include "helpers/brennick/BrennickMain.h"

int main(int argc, char** argv) { return veltrane::brennick::brennickMain(argc, argv); }
