// The example model; written in the next commits.
int main() { return 0; }
