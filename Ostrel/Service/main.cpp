// Process entry of the service program.
int wmain(int, wchar_t**) { return 0; }
