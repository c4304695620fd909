// dat-shard: the shard tool's command line. Argument parsing and error
// reporting live in cli*.cpp; the work is done by the shard library.
#include "cli.h"

int main(int argc, char** argv) { return tools::cli::run(argc, argv); }
