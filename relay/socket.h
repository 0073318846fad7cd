// QOR_SOCKET: the relay object. One, a local of wmain.
#pragma once
#include "relay/ram.h"
#include "relay/task.h"
#include "platform/winsock.h"

constexpr uint16_t MAX_CONNECTIONS = 32;

struct QOR_SOCKET {
  // configuration
  uint8_t not_quiet;
  uint8_t listen;
  uint8_t print_once;
  uint8_t print;
  uint8_t verbose;
  uint8_t write;
  char addr_local_text[64];
  uint16_t local_port;
  uint16_t connections;
  uint64_t packet_length_r;
  int32_t so_type;
  int32_t so_protocol;

  QOR_RAM ram;
  QOR_TASK tasks[MAX_CONNECTIONS];
  bool configured;
  win::sockaddr_in addr_local;

  QOR_SOCKET(int argc, wchar_t** argv);   // builds; may end the process
  ~QOR_SOCKET();                          // tears down

  int config(int argc, wchar_t** argv);
  int run();
  int server_listen();
  void set_socket_options(SOCKET so);
};

int usage(const wchar_t* name);
int wmain(int argc, wchar_t** argv);
