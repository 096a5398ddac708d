// Entry point; the window and the batch run are wired up in src/ui.
int main() { return 0; }
