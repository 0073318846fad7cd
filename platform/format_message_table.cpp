// Message texts in the system's own wording, so that an error report reads
// the same as on Windows. The table is sorted by number.
#include "platform/format_message_table.h"

namespace win::detail {

namespace {

struct message { DWORD code; const wchar_t* text; };

constexpr message messages[] = {
    {0, L"The operation completed successfully.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {14, L"Not enough memory resources are available to complete this operation.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {1300, L"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, L"A specified privilege does not exist.\r\n"},
    {1314, L"A required privilege is not held by the client.\r\n"},
    {1450, L"Insufficient system resources exist to complete the requested service.\r\n"},
    {1453, L"Insufficient quota to complete the requested service.\r\n"},
    {1455, L"The paging file is too small for this operation to complete.\r\n"},
    {10004, L"A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10009, L"The file handle supplied is not valid.\r\n"},
    {10013, L"An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10014, L"The system detected an invalid pointer address in attempting to use a pointer argument in a call.\r\n"},
    {10022, L"An invalid argument was supplied.\r\n"},
    {10024, L"Too many open sockets.\r\n"},
    {10035, L"A non-blocking socket operation could not be completed immediately.\r\n"},
    {10036, L"A blocking operation is currently executing.\r\n"},
    {10037, L"An operation was attempted on a non-blocking socket that already had an operation in progress.\r\n"},
    {10038, L"An operation was attempted on something that is not a socket.\r\n"},
    {10039, L"A required address was omitted from an operation on a socket.\r\n"},
    {10040, L"A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram into was smaller than the datagram itself.\r\n"},
    {10041, L"A protocol was specified in the socket function call that does not support the semantics of the socket type requested.\r\n"},
    {10042, L"An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call.\r\n"},
    {10043, L"The requested protocol has not been configured into the system, or no implementation for it exists.\r\n"},
    {10044, L"The support for the specified socket type does not exist in this address family.\r\n"},
    {10045, L"The attempted operation is not supported for the type of object referenced.\r\n"},
    {10046, L"The protocol family has not been configured into the system or no implementation for it exists.\r\n"},
    {10047, L"An address incompatible with the requested protocol was used.\r\n"},
    {10048, L"Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n"},
    {10049, L"The requested address is not valid in its context.\r\n"},
    {10050, L"A socket operation encountered a dead network.\r\n"},
    {10051, L"A socket operation was attempted to an unreachable network.\r\n"},
    {10052, L"The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress.\r\n"},
    {10053, L"An established connection was aborted by the software in your host machine.\r\n"},
    {10054, L"An existing connection was forcibly closed by the remote host.\r\n"},
    {10055, L"An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full.\r\n"},
    {10056, L"A connect request was made on an already connected socket.\r\n"},
    {10057, L"A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10058, L"A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call.\r\n"},
    {10059, L"Too many references to some kernel object.\r\n"},
    {10060, L"A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond.\r\n"},
    {10061, L"No connection could be made because the target machine actively refused it.\r\n"},
    {10062, L"Cannot translate name.\r\n"},
    {10063, L"Name component or name was too long.\r\n"},
    {10064, L"A socket operation failed because the destination host was down.\r\n"},
    {10065, L"A socket operation was attempted to an unreachable host.\r\n"},
    {10066, L"Cannot remove a directory that is not empty.\r\n"},
    {10067, L"A Windows Sockets implementation may have a limit on the number of applications that may use it simultaneously.\r\n"},
    {10091, L"WSAStartup cannot function at this time because the underlying system it uses to provide network services is currently unavailable.\r\n"},
    {10092, L"The Windows Sockets version requested is not supported.\r\n"},
    {10093, L"Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {10101, L"Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful shutdown sequence.\r\n"},
    {11001, L"No such host is known.\r\n"},
    {11002, L"This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server.\r\n"},
    {11003, L"A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, L"The requested name is valid, but no data of the requested type was found.\r\n"},
    {0x80090001, L"Bad UID.\r\n"},
    {0x80090002, L"Bad Hash.\r\n"},
    {0x80090003, L"Bad Key.\r\n"},
    {0x80090004, L"Bad Length.\r\n"},
    {0x80090005, L"Bad Data.\r\n"},
    {0x80090006, L"Invalid Signature.\r\n"},
    {0x80090007, L"Bad Version of provider.\r\n"},
    {0x80090008, L"Invalid algorithm specified.\r\n"},
    {0x80090009, L"Invalid flags specified.\r\n"},
    {0x8009000A, L"Invalid type specified.\r\n"},
    {0x8009000B, L"Key not valid for use in specified state.\r\n"},
    {0x8009000C, L"Hash not valid for use in specified state.\r\n"},
    {0x8009000D, L"Key does not exist.\r\n"},
    {0x8009000E, L"Insufficient memory was available to complete this operation.\r\n"},
    {0x80090013, L"Invalid provider specified.\r\n"},
    {0x80090014, L"Invalid provider type specified.\r\n"},
    {0x80090016, L"Keyset does not exist\r\n"},
    {0x80090017, L"Provider type not defined.\r\n"},
    {0x80090020, L"An internal error occurred.\r\n"},
};

}  // namespace

const wchar_t* message_text(DWORD code) {
  size_t lo = 0, hi = sizeof messages / sizeof messages[0];
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (messages[mid].code == code) return messages[mid].text;
    if (messages[mid].code < code) lo = mid + 1;
    else hi = mid;
  }
  return nullptr;
}

}  // namespace win::detail
