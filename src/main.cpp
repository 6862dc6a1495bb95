#include "run.h"

int main(int argc, char** argv) {
    return runTrafficGenerator(argc, argv);
}
