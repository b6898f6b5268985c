// Linked with one layer of the core, whole, and the layers below it: the build fails when the
// layer calls into one above it.
int main() {
    return 0;
}
