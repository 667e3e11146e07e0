#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    std::printf("Usage: %s <COM PORT> <Baud Rate> <Product ID> <Device> <Filename.srec>\n", argv[0]);
    return 2;
}
