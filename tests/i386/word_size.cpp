// Prints the sizes that make this build a 32-bit one.
#include <cstddef>
#include <cstdio>

int main() {
    std::printf("void*=%zu long=%zu size_t=%zu\n", sizeof(void*), sizeof(long), sizeof(std::size_t));
    return 0;
}
