/* Command-line parsing of the offload SDK stand-in: options registered with a
 * callback each, parsed in command-line order.
 *
 * One parser exists per process at a time: kova_argp_init() creates it and
 * kova_argp_destroy() releases it together with every registered parameter;
 * init after destroy starts afresh. None of the functions is thread-safe. */
#ifndef KOVA_ARGP_H
#define KOVA_ARGP_H

#include <kova/error.h>
#include <kova/types.h>

#include <stdbool.h>

/* A parameter (one command-line option) being described or registered. */
typedef struct kova_argp_param kova_argp_param;

/* Value type of a parameter; the callback's value points at the matching C type. */
enum kova_argp_type {
	KOVA_ARGP_TYPE_UNSET = 0,
	KOVA_ARGP_TYPE_STRING = 1,  /* const char *, valid during the callback */
	KOVA_ARGP_TYPE_INT = 2,     /* int: decimal or 0x hexadecimal, optional sign */
	KOVA_ARGP_TYPE_BOOLEAN = 3, /* bool: a flag; "--name" is true, "--name=false" false */
};

/* Called once per occurrence of an option, in command-line order, with a pointer
 * to the parsed value and the config pointer given to kova_argp_init(). A
 * non-zero result stops the parse; kova_argp_start() returns it. An exception
 * thrown by a C++ callback passes through kova_argp_start() unchanged. The
 * version callback gets a null value. */
typedef kova_error (*kova_argp_param_cb_t)(void *value, void *config);

/* Creates the process's parser. program_name (may be null: the base name of
 * argv[0] is used) prefixes the parser's messages. config is handed to every
 * callback. Returns KOVA_ERROR_IN_USE when a parser already exists,
 * KOVA_ERROR_NO_MEMORY when allocation fails. */
KOVA_EXPORT kova_error kova_argp_init(const char *program_name, void *config);

/* Releases the parser and every registered parameter. Safe at any time, also
 * after an exception left kova_argp_start(). Returns KOVA_ERROR_BAD_STATE when no
 * parser exists (nothing is done then). */
KOVA_EXPORT kova_error kova_argp_destroy(void);

/* Registers the callback that -v/--version calls. Without one, -v and --version
 * are not recognised. When the callback returns 0 the process exits with
 * status 0. Returns KOVA_ERROR_BAD_STATE without a parser,
 * KOVA_ERROR_INVALID_VALUE for a null callback. */
KOVA_EXPORT kova_error kova_argp_register_version_callback(kova_argp_param_cb_t callback);

/* Creates an empty parameter owned by the caller until it is registered.
 * Returns KOVA_ERROR_INVALID_VALUE for a null out-pointer, KOVA_ERROR_NO_MEMORY
 * when allocation fails. */
KOVA_EXPORT kova_error kova_argp_param_create(kova_argp_param **param);

/* Frees a parameter that was not registered. Returns KOVA_ERROR_INVALID_VALUE
 * for null, KOVA_ERROR_BAD_STATE for a registered parameter (the parser owns it
 * and nothing is freed). */
KOVA_EXPORT kova_error kova_argp_param_destroy(kova_argp_param *param);

/* Setters: each copies its argument; a null parameter is ignored. Names are
 * checked when the parameter is registered. */
KOVA_EXPORT void kova_argp_param_set_short_name(kova_argp_param *param, const char *name);
KOVA_EXPORT void kova_argp_param_set_long_name(kova_argp_param *param, const char *name);
KOVA_EXPORT void kova_argp_param_set_description(kova_argp_param *param, const char *description);
KOVA_EXPORT void kova_argp_param_set_callback(kova_argp_param *param, kova_argp_param_cb_t callback);
KOVA_EXPORT void kova_argp_param_set_type(kova_argp_param *param, enum kova_argp_type type);
/* The command line must hold the option. */
KOVA_EXPORT void kova_argp_param_set_mandatory(kova_argp_param *param);
/* The option may occur more than once. */
KOVA_EXPORT void kova_argp_param_set_multiplicity(kova_argp_param *param);

/* Registers a parameter; on success the parser owns it. Returns
 * KOVA_ERROR_BAD_STATE without a parser or for a parameter already registered;
 * KOVA_ERROR_INVALID_VALUE for a null parameter, no name at all, a short name
 * that is not one character, a long name that is empty, starts with '-' or holds
 * '=' or a blank, no callback or no type; KOVA_ERROR_ALREADY_EXIST for a name
 * already registered or built in (h, help, v, version). On failure the caller
 * still owns the parameter. */
KOVA_EXPORT kova_error kova_argp_register_param(kova_argp_param *param);

/* Parses argv (argv[0] is the program). Options: "--long value", "--long=value",
 * "-s value", "-svalue"; boolean options take no separate value ("--long" is
 * true, "--long=false" false). "--" ends the options. Built in: -h/--help prints
 * every registered option on standard output and exits with status 0;
 * -v/--version calls the version callback.
 *
 * The whole command line is checked before any callback runs: an unknown option,
 * a missing value, a bad number (not an int, trailing characters), a bad boolean,
 * a repeated option that is not repeatable, a positional argument and a missing
 * mandatory option each print one line naming the option on standard error and
 * return KOVA_ERROR_INVALID_VALUE. Then the callbacks run in command-line order;
 * the first non-zero result is returned after a line on standard error.
 * Returns KOVA_ERROR_BAD_STATE without a parser. */
KOVA_EXPORT kova_error kova_argp_start(int argc, char **argv);

#endif
