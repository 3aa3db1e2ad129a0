// Numbers in configuration files and log lines are read and written with '.' as the decimal
// point, whatever locale the host program has set with setlocale().
#ifndef VORNA_C_LOCALE_H
#define VORNA_C_LOCALE_H

#include <locale.h>

// Switches the calling thread to the C locale; returns what to hand to leaveCLocale().
locale_t enterCLocale();
void leaveCLocale(locale_t previous);

#endif
