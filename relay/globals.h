// Process-wide state of the relay. Written while the relay object is built,
// before any slot thread exists, except where noted.
#pragma once
#include "common/event.h"
#include "common/thread.h"

struct QOR_TASK;

extern QOR_TASK* tasks;
extern uint16_t cw_connections;
extern uint64_t packet_length;
extern uint64_t so_sndbuf;
extern SOCKET so_listen;          // exchanged atomically once readers run
extern uint32_t task_counter;
extern bool stop;                 // atomic: the accept loops are to end
extern bool serve_failed;         // atomic: an accept failure was reported
extern bool line_pending;         // atomic: a connection line waits for its end
extern int32_t active_count;      // atomic: connections in progress
extern QOR_EVENT park_event;
extern QOR_THREAD park_thread;
