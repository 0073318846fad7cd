// Whole loads, stores and read-modify-writes on plain fields, so that the
// records stay plain (zeroed by their init and close functions) while the
// fields that threads share are accessed atomically.
#pragma once

template <class T> inline T a_load(const T& x) { return __atomic_load_n(&x, __ATOMIC_SEQ_CST); }
template <class T> inline void a_store(T& x, T v) { __atomic_store_n(&x, v, __ATOMIC_SEQ_CST); }
template <class T> inline T a_exchange(T& x, T v) { return __atomic_exchange_n(&x, v, __ATOMIC_SEQ_CST); }
// Returns the value after the addition.
template <class T> inline T a_add(T& x, T d) { return __atomic_add_fetch(&x, d, __ATOMIC_SEQ_CST); }
