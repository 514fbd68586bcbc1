// The translation unit that GoogleTest's precompiled headers are made with (tests/CMakeLists.txt).
