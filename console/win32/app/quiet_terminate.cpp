// Morlix.exe has no console, so the C++ library's default reaction to an uncaught exception,
// a report on the standard error stream before abort(), has nowhere to go: the program ends
// through abort() all the same. This program's own definition of the library's default
// handler ends it so at once; the library's would link the report's demangler and printf
// into the image (some 70 KB) for output that no one can see. morlixctl, which
// has a console, keeps the library's report.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

} // namespace __gnu_cxx
