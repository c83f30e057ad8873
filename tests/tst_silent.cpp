// A program that runs, prints nothing and exits 0: what Wine can look like
// when an executable did not load. The Wine runner must not pass it.
int main() { return 0; }
