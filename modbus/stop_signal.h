// SIGTERM and SIGINT stop the gateway: the handler only writes to a pipe
// that the gateway's poll() watches, so a signal wakes it at once.
#ifndef DIO_MODBUSD_STOP_SIGNAL_H
#define DIO_MODBUSD_STOP_SIGNAL_H

namespace dio_modbusd {

// Installs the handlers (and ignores SIGPIPE: a client gone mid-reply is
// that connection's error, not the gateway's end). Returns the descriptor
// that becomes readable on a stop signal, or -1 with errno set.
int InstallStopSignals();

// The signal that asked to stop ("SIGTERM", "SIGINT"), once one came.
const char *StopSignalName();

}  // namespace dio_modbusd

#endif
