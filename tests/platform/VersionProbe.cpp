// A program built with another version than the kit's, so a test can read it back from its file.
#include <cstdio>

int main()
{
    std::puts("version probe");
    return 0;
}
