// A program that only carries a version (or none), for reading it back.
int main()
{
    return 0;
}
