// Build-time generator: writes the daemon's operation names, from its own table, as C++
// string literals (one per line) for vornctl's shell completion. Usage: op_names OUTPUT
#include <cstdio>

#include "daemon/optable.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* f = fopen(argv[1], "we");
    if (!f) return 1;
    for (const op_def_t* op = g_ops; op->name; op++) fprintf(f, "\"%s\",\n", op->name);
    return fclose(f) == 0 ? 0 : 1;
}
