// QOR_RAM: the buffer pool, one block for the relay's whole life, in whole
// large pages: physical pages mapped into a reserved range (AWE), or an
// aligned block locked into memory when the system allows it.
#pragma once
#include "platform/types.h"

struct QOR_RAM {
  bool use_awe;
  bool locked;
  uint64_t pages_requested;
  uint64_t pages_received;
  uint64_t pfn_bytes;
  ULONG_PTR* aPFNs;
  HANDLE process;
  HANDLE token;
  bool verbose;
  uint64_t granularity;
  uint64_t large_pages;
  uint64_t large_page;
  uint64_t total_size;
  uint8_t* base;
};

uint32_t large_page_minimum(QOR_RAM* pool);
uint32_t enable_lock_memory_privilege(HANDLE token);
uint8_t* awe_alloc(QOR_RAM* pool, uint64_t size);
int ram_alloc(QOR_RAM* pool, uint64_t large_pages);
int ram_free(QOR_RAM* pool);
void ram_release(QOR_RAM* pool);
