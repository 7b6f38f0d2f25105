// The loadable plug-in library: its entry points.
extern "C" {
const wchar_t* LibDescription() { return L"Paravelle, Cloud interface"; }
void LibInit() {}
unsigned long LibVersion() { return 0x5DC03C00; }
}
