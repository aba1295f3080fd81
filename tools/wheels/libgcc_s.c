/* Link-time stand-in for the system's libgcc_s.so.1, built by build.sh.

   glibc ends a thread (pthread_exit, as CPython does with daemon threads at
   exit) with a forced unwind run by the libgcc_s it loads. That unwind passes
   through tarvu's frames and calls their C++ personality routine, which
   reads the unwind context through _Unwind_* calls: those must reach the same
   unwinder, or they misread its context and the process crashes. zig links
   its own static libunwind into the module; linking against this stub first
   binds every _Unwind_* call to the system's libgcc_s.so.1 instead (every
   manylinux system has it, with these versions), so throws and forced
   unwinds alike run on the one unwinder the process already uses. Only the
   names and versions matter here: the bodies are never run. */
void _Unwind_Backtrace(void) {}
void _Unwind_DeleteException(void) {}
void _Unwind_FindEnclosingFunction(void) {}
void _Unwind_ForcedUnwind(void) {}
void _Unwind_GetCFA(void) {}
void _Unwind_GetDataRelBase(void) {}
void _Unwind_GetGR(void) {}
void _Unwind_GetIP(void) {}
void _Unwind_GetIPInfo(void) {}
void _Unwind_GetLanguageSpecificData(void) {}
void _Unwind_GetRegionStart(void) {}
void _Unwind_GetTextRelBase(void) {}
void _Unwind_RaiseException(void) {}
void _Unwind_Resume(void) {}
void _Unwind_Resume_or_Rethrow(void) {}
void _Unwind_SetGR(void) {}
void _Unwind_SetIP(void) {}
