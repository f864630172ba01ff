/* tavix: one SQL SELECT over CSV files, answered as JSON or CSV text.
 *
 * Conventions of this interface:
 *  1. The statement is a NUL-terminated text. Its FROM clause names the
 *     input: a CSV file path (relative to the current directory), several
 *     files joined with INNER JOIN ... ON a = b, or "stdin" / "-" for the
 *     process's standard input.
 *  2. Each call is independent: nothing is cached or kept between calls, and
 *     calls from several threads at once do not interfere.
 *  3. Return codes: 0 - *out holds the result text; 1 - *out holds
 *     "error: " followed by the error's name (for example
 *     "error: FileNotFound"); 2 - out of memory (or a null `out`), *out is
 *     not written.
 *  4. Every text the library returns is released with tavix_free, from any
 *     thread; tavix_free(NULL) does nothing.
 *  5. A result may itself contain NUL bytes (copied from the input); a caller
 *     that stops at the first NUL sees only the part before it.
 *  6. The result file is built in the directory named by the environment
 *     variable TEMP (/tmp when it is unset or empty) and removed before the
 *     call returns.
 */
#ifndef TAVIX_H_
#define TAVIX_H_

#if defined(TAVIX_BUILDING_LIBRARY)
#define TAVIX_EXPORT __attribute__((visibility("default")))
#else
#define TAVIX_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Runs `sql`; the result is a JSON array of objects. */
TAVIX_EXPORT int tavix_query_json(const char* sql, char** out);

/* Runs `sql`; the result is CSV text with a header row. */
TAVIX_EXPORT int tavix_query_csv(const char* sql, char** out);

/* Releases a text returned by tavix_query_json or tavix_query_csv. */
TAVIX_EXPORT void tavix_free(char* text);

#ifdef __cplusplus
}
#endif

#endif /* TAVIX_H_ */
