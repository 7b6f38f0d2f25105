// The loadable plug-in library: the entry points its host calls. Everything else the
// library offers, it offers through its script interface TaskmereUtil, which its static
// objects publish when the library is loaded. A file of its own: on Linux only the loadable
// library takes it, and the tests link the plug-in's objects without it.

extern "C" {

const wchar_t* LibDescription() { return L"Paravelle, Cloud interface"; }

void LibInit() {}

unsigned long LibVersion() { return 0x5DC03C00; }
}
