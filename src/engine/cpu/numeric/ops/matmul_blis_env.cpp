// BLIS's two environment readers, replaced. The static BLIS would otherwise
// read BLIS_ARCH_TYPE, BLIS_ARCH_DEBUG, BLIS_PACK_A and BLIS_PACK_B when it
// initialises: an unknown BLIS_ARCH_TYPE aborts the process, BLIS_ARCH_DEBUG
// prints to stdout, and a forced kernel set can fault on a processor without
// its instructions. The module reads no environment, so BLIS sees an empty
// one: every reader gets its fallback. Our definitions come before the
// archive on the link line, so the archive's bli_env.o is never pulled in.
// (Linked against a shared BLIS, these hidden symbols are simply unused.)
#include <blis.h>

extern "C" {

gint_t bli_env_get_var(const char*, gint_t fallback) { return fallback; }

char* bli_env_get_str(const char*) { return nullptr; }

}
