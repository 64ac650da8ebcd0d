// A shared library of its own that throws an object of a foreign type, as
// third-party code may.

[[gnu::noinline]] void ThrowInt(int value) { throw value; }
