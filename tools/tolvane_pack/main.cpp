// tolvane-pack: the vendor's tool for storage archives and product packages.
#include "tools/tolvane_pack/commands.h"

int main(int argc, char** argv) { return tolvane::pack::Main(argc, argv); }
