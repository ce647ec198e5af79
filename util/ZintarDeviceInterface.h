/* The interface of the Zintar device: its names, request codes and records. Shared by the
 * kernel-mode driver (C) and the programs that talk to it, so it holds plain constants only. */
#ifndef ZINTAR_DEVICE_INTERFACE_H
#define ZINTAR_DEVICE_INTERFACE_H

/* What user mode opens, and the kernel names behind it. */
#define ZINTAR_DEVICE_PATH "\\\\.\\ZINTAR"
#define ZINTAR_KERNEL_DEVICE_NAME L"\\Device\\Zintar"
#define ZINTAR_KERNEL_LINK_NAME L"\\DosDevices\\ZINTAR"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS). */
#define ZINTAR_CTL_CODE(function) ((0x22u << 16) | ((function) << 2))

/* No input; at least ZINTAR_MESSAGE_SIZE bytes of output: removes and returns the oldest message.
 * Fails with STATUS_NO_MORE_ENTRIES (Win32 error 259) when the queue is empty and with
 * STATUS_BUFFER_TOO_SMALL (122) when the output is shorter than one message; then nothing is
 * removed. */
#define IOCTL_READ_MESSAGE ZINTAR_CTL_CODE(0x801u)

/* Input of k × ZINTAR_MESSAGE_SIZE bytes, k ≥ 1: queues all k in order, or none of them with
 * STATUS_DEVICE_BUSY (170) when fewer than k places are free, so a feeder may simply retry.
 * Other lengths fail with STATUS_INVALID_PARAMETER (87). */
#define IOCTL_ZINTAR_PUSH ZINTAR_CTL_CODE(0x802u)

/* Output of at least ZINTAR_STATS_SIZE bytes: a ZintarStats record. */
#define IOCTL_ZINTAR_STATS ZINTAR_CTL_CODE(0x803u)

#define ZINTAR_MESSAGE_SIZE 546u
#define ZINTAR_QUEUE_CAPACITY 65536u
#define ZINTAR_STATS_SIZE 24u

/* Little-endian, no padding: u32, u32, u64, u64. */
typedef struct ZintarStats {
    unsigned int queued;       /* messages in the queue now */
    unsigned int capacity;     /* places in the queue */
    unsigned long long pushed; /* messages queued since the driver was loaded */
    unsigned long long read;   /* messages read since the driver was loaded */
} ZintarStats;

#ifdef __cplusplus
static_assert(IOCTL_READ_MESSAGE == 0x222004u, "read request code");
static_assert(IOCTL_ZINTAR_PUSH == 0x222008u, "push request code");
static_assert(IOCTL_ZINTAR_STATS == 0x22200Cu, "stats request code");
static_assert(sizeof(ZintarStats) == ZINTAR_STATS_SIZE, "stats record size");
#endif

#endif
