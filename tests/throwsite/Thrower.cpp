// A shared library of its own that throws an object of a foreign type, as
// third-party code may.

#if defined(_WIN32)
__declspec(dllexport)
#endif
    [[gnu::noinline]] void ThrowInt(int value) {
    throw value;
}
