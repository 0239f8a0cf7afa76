// Symbol visibility of the library's exported classes.
#pragma once

#if defined(__GNUC__)
#define TAMBTREE_API __attribute__((visibility("default")))
#else
#define TAMBTREE_API
#endif
