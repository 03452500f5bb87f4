// The translation unit that carries the test targets' precompiled gtest.h
// (tests/CMakeLists.txt); it defines nothing.
