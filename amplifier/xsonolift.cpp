// Program entry of sonolift.
#include "SonoliftApp.h"

int main(int argc, char** argv) { sonolift::RunSonolift(argc, argv); }
