// A program that only carries a version block: the updater's keep-or-replace test reads it.
int main() {
    return 0;
}
