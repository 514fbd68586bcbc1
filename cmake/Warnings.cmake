# Every target of ours links tamrik_warnings to get the same strict warning set.
add_library(tamrik_warnings INTERFACE)
target_compile_options(tamrik_warnings INTERFACE -Wall -Wextra -Wpedantic)
