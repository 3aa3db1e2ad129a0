#include "log/c_locale.h"

// uselocale() changes only the calling thread's locale, so the host's other threads keep theirs.
// glibc hands out its static C locale object for newlocale(..., "C", 0): nothing is allocated,
// and the object is never freed.
static locale_t cLocale;

locale_t enterCLocale()
{
    if (cLocale == (locale_t)0)
        cLocale = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    if (cLocale == (locale_t)0)
        return (locale_t)0;
    return uselocale(cLocale);
}

void leaveCLocale(locale_t previous)
{
    if (previous != (locale_t)0)
        uselocale(previous);
}
