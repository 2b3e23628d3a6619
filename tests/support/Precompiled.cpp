// The program that builds the precompiled header every test program shares (tests/CMakeLists.txt).
int main()
{
    return 0;
}
