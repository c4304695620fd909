#pragma once
// The dat-shard command line:
//
//   dat-shard shard  (--input FILE.qra | --eor-portal FILE [--eor-cell FILE] [--eor-local FILE])
//                    --out-dir DIR [--layout flat|catalog] [--spawn-landblock N] [--json] [--quiet]
//   dat-shard verify DIR [--json] [--quiet]
//   dat-shard pack   --out FILE.qra (--input FILE.qra | --eor-portal FILE ...) [--quiet]
//   dat-shard ls     FILE.qra
//   dat-shard cat    FILE.qra KEY
//
// Numbers are decimal or 0x-prefixed hex. A failure prints one line
// "dat-shard: error: <text>" on stderr. Exit status: 0 success, 1 the
// operation failed, 2 the command line was wrong (with a usage hint).
namespace tools::cli {

int run(int argc, char** argv);

}  // namespace tools::cli
