// Assertions for states that must never occur. QUELBAR_CHECK holds in every build; QUELBAR_DCHECK
// holds where QUELBAR_DCHECK_IS_ON is defined (the unit tests and the sanitizer build) and costs
// nothing in the addon. A failed assertion prints where and what, and aborts.
#ifndef QUELBAR_CORE_CHECK_H_
#define QUELBAR_CORE_CHECK_H_

[[noreturn]] void QuelbarCheckFailed(const char* file, int line, const char* condition);

#define QUELBAR_CHECK(condition)                          \
  do {                                                    \
    if (!(condition)) {                                   \
      QuelbarCheckFailed(__FILE__, __LINE__, #condition); \
    }                                                     \
  } while (false)

#ifdef QUELBAR_DCHECK_IS_ON
#define QUELBAR_DCHECK(condition) QUELBAR_CHECK(condition)
#else
#define QUELBAR_DCHECK(condition) \
  do {                            \
    (void)sizeof(condition);      \
  } while (false)
#endif

// A place the code must never reach (a state that cannot be current there).
#define QUELBAR_NOTREACHED() QUELBAR_DCHECK(false && "not reached")

#endif  // QUELBAR_CORE_CHECK_H_
