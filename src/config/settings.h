// The six configuration keys: their setters, their defaults, and the reset.
#ifndef VORNA_SETTINGS_H
#define VORNA_SETTINGS_H

// All fields to zero, then the default text of every key that has one, through its setter.
void resetSettings();
// Hands `value` to the setter of `key`; false when no key has that name (case counts).
bool applySetting(const char *key, const char *value);

#endif
