// Kartivo's entry point (placeholder until the main window exists).
#include <cstdio>

int main()
{
    std::puts("Kartivo: the main window is not built yet.");
    return 0;
}
