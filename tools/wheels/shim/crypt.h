/* CPython 3.8's Python.h includes <crypt.h>, which the old-glibc headers of
   the wheel toolchain do not have; tarvu uses none of it. */
