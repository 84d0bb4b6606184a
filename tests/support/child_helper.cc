// Placeholder: the real helper replaces this file.
int main() { return 0; }
