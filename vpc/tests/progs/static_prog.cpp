// A statically linked program: zorvpc run must refuse it, since the library
// could never stand in for its platform calls. It does nothing itself.
int main() { return 0; }
