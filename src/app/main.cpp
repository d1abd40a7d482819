#include "run_patcher.hpp"

int main(int argc, char** argv) {
    return dyeloom::runPatcher(argc, argv);
}
