// modemctl: drives the MQTT client inside a BC66 NB-IoT modem through AT
// commands on a serial line.
//
// Everything here is single-threaded: the functions share the descriptor `fd`
// and the callback pointer `readmsg_callback`, and must not run concurrently.
// Every function prints the dialogue with the modem to standard output.
// The functions keep C++ linkage: their exported symbols carry their
// parameter types.
#ifndef MODEMCTL_H
#define MODEMCTL_H

#define MODEMCTL_API __attribute__((visibility("default")))

// Descriptor of the open serial device; negative after a failed open, -1
// before any open.
extern MODEMCTL_API int fd;

// The message callback: (socket index, message id, message data, length).
// The data points into a buffer that lives only while the callback runs;
// the length is always 900, the capacity of that buffer, not the data's.
// Null (the start value) turns message delivery off.
extern MODEMCTL_API void (*readmsg_callback)(int, int, char*, int);

// ---- Serial line --------------------------------------------------------

// Opens the device read-write without making it the controlling terminal,
// stores the descriptor in `fd` and sets the line to 115200 baud 8N1, raw,
// with a 0.5 s read timeout. 0 when opened (even if setting the line
// failed), -1 when the open failed ("error %d opening %s: %s" printed).
MODEMCTL_API int nb_init_serial(char* portname);

// Applies speed (a termios code such as B115200) and parity bits (0,
// PARENB, PARENB | PARODD) with 8 data bits, one stop bit, no flow control,
// raw input and output, VMIN 0 and VTIME 5. 0 on success, -1 on failure.
MODEMCTL_API int set_interface_attribs(int descriptor, int speed, int parity);

// Sets the read minimum to 1 byte when block is non-zero, else to 0; the
// read timeout stays 0.5 s. Failures are printed only.
MODEMCTL_API void set_blocking(int descriptor, int block);

// Closes `fd`; the variable keeps its value.
MODEMCTL_API void nb_close_serial();

// ---- Modem MQTT commands ------------------------------------------------
//
// Every command is one exchange: drain and deliver what the modem sent
// (nb_process_urc), print "Send <command>...", write the command, then wait
// up to 1, 5 or 9 cycles of 10 ms plus reading until 0.5 s of silence for
// the expected reply text, printing "Command ok!" or "Command fail!".
//
// Texts that go between double quotes of a command (host, client id, user
// name, password, topic, message) must not contain a double quote, CR or LF
// and must leave the command within its buffer; otherwise the function
// prints one line saying why, writes nothing to the modem and returns -1.
// user and password may be null: the connect command then has the short
// form without them (both must be present for the long form).

// Bring-up checks: 0 when all pass, else -1 (AT), -2 (AT+CPIN?),
// -3 (AT+CEREG?), -4 (AT+CGATT?) for the first that failed.
MODEMCTL_API int nb_init_bc66();

// 0 when the modem reports the client connected, or the connect succeeded
// after opening the network connection; -1 otherwise or when refused.
MODEMCTL_API int nb_connect(int index, char* host, int port, char* clientId, char* username,
                            char* password);

// Brings the connection up when it is down (whatever the outcome), then
// subscribes. 0 subscribed, -1 failed ("subcribe fail!") or refused.
MODEMCTL_API int nb_subcribe_topic(int index, char* host, int port, char* clientId,
                                   char* username, char* password, int msgId, char* topic,
                                   int qos);

// Probes the modem with two "AT", brings the connection up when it is down
// (whatever the outcome), then publishes. 0 when the modem reported the
// message sent ("+QMTPUB: <index>,<msgId>,0"), -1 otherwise, when refused,
// or when the command buffer could not be allocated.
MODEMCTL_API int nb_publish_message(int index, char* host, int port, char* clientId,
                                    char* username, char* password, int msgId, char* topic,
                                    char* message, int qos);

// Closes the modem's MQTT network connection: 0 on "OK", else -1.
MODEMCTL_API int nb_close(int index);

// Reads and echoes whatever the modem sends until 0.5 s of silence.
MODEMCTL_API void nb_clear();

// Reads and echoes until 0.5 s of silence, then hands the first
// "+QMTRECV: <index>,<msgId>,<topic>,<data>" line of what it read to the
// callback, data cut at its first comma. Nothing is delivered without a
// callback or when fewer than four fields are there.
MODEMCTL_API void nb_process_urc();

// One pass of message delivery (nb_process_urc).
MODEMCTL_API void nb_loop_read();

// Replaces the message callback; null turns delivery off.
MODEMCTL_API void nb_set_onmessage_callback(void (*callback)(int, int, char*, int));

// ---- Demonstration ------------------------------------------------------

// Prints "Print content socket: %d, msgID: %d, data: %s" and a line feed.
MODEMCTL_API void print_content_callback(int index, int msgId, char* data, int length);

#endif  // MODEMCTL_H
