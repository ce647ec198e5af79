/* The Zintar device driver: a kernel-mode first-in first-out queue of 546-byte log messages.
 * Producers push batches with IOCTL_ZINTAR_PUSH; the log service drains it one message per
 * IOCTL_READ_MESSAGE. The queue is a fixed ring allocated at load time; one fast mutex guards it,
 * so any number of callers may use the device at once. Copies happen at APC level, which allows
 * the ring to live in paged pool: its 35 MB would be a heavy claim on non-paged memory. */
#include <ntifs.h>

#include "util/ZintarDeviceInterface.h"

#define ZINTAR_POOL_TAG 0x72746E5Au /* "Zntr" as a pool tag reads it */

typedef struct ZintarQueue {
    FAST_MUTEX lock;
    unsigned char* ring; /* ZINTAR_QUEUE_CAPACITY messages */
    ULONG head;          /* index of the oldest message */
    ULONG count;         /* messages held */
    ULONGLONG pushed;
    ULONGLONG read;
} ZintarQueue;

typedef struct ZintarDeviceExtension {
    ZintarQueue queue;
    BOOLEAN linkCreated;
} ZintarDeviceExtension;

static PDEVICE_OBJECT zintarDevice;

static unsigned char* SlotAddress(ZintarQueue* queue, ULONG index)
{
    return queue->ring + (SIZE_T)(index % ZINTAR_QUEUE_CAPACITY) * ZINTAR_MESSAGE_SIZE;
}

static NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Removes the oldest message into `output`. */
static NTSTATUS ReadMessage(ZintarQueue* queue, void* output, ULONG outputLength, ULONG_PTR* returned)
{
    NTSTATUS status;
    if (outputLength < ZINTAR_MESSAGE_SIZE || output == NULL)
        return STATUS_BUFFER_TOO_SMALL;
    ExAcquireFastMutex(&queue->lock);
    if (queue->count == 0) {
        status = STATUS_NO_MORE_ENTRIES;
    } else {
        RtlCopyMemory(output, SlotAddress(queue, queue->head), ZINTAR_MESSAGE_SIZE);
        queue->head = (queue->head + 1) % ZINTAR_QUEUE_CAPACITY;
        queue->count -= 1;
        queue->read += 1;
        *returned = ZINTAR_MESSAGE_SIZE;
        status = STATUS_SUCCESS;
    }
    ExReleaseFastMutex(&queue->lock);
    return status;
}

/* Queues all messages of `input`, or none when they do not all fit. */
static NTSTATUS PushMessages(ZintarQueue* queue, const unsigned char* input, ULONG inputLength)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG k;
    ULONG i;
    if (input == NULL || inputLength == 0 || inputLength % ZINTAR_MESSAGE_SIZE != 0)
        return STATUS_INVALID_PARAMETER;
    k = inputLength / ZINTAR_MESSAGE_SIZE;
    ExAcquireFastMutex(&queue->lock);
    if (k > ZINTAR_QUEUE_CAPACITY - queue->count) {
        status = STATUS_DEVICE_BUSY;
    } else {
        for (i = 0; i < k; ++i)
            RtlCopyMemory(SlotAddress(queue, queue->head + queue->count + i), input + (SIZE_T)i * ZINTAR_MESSAGE_SIZE,
                          ZINTAR_MESSAGE_SIZE);
        queue->count += k;
        queue->pushed += k;
    }
    ExReleaseFastMutex(&queue->lock);
    return status;
}

static NTSTATUS ReadStats(ZintarQueue* queue, void* output, ULONG outputLength, ULONG_PTR* returned)
{
    ZintarStats stats;
    if (outputLength < ZINTAR_STATS_SIZE || output == NULL)
        return STATUS_BUFFER_TOO_SMALL;
    ExAcquireFastMutex(&queue->lock);
    stats.queued = queue->count;
    stats.capacity = ZINTAR_QUEUE_CAPACITY;
    stats.pushed = queue->pushed;
    stats.read = queue->read;
    ExReleaseFastMutex(&queue->lock);
    RtlCopyMemory(output, &stats, ZINTAR_STATS_SIZE);
    *returned = ZINTAR_STATS_SIZE;
    return STATUS_SUCCESS;
}

static NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    return CompleteRequest(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    ZintarDeviceExtension* extension = (ZintarDeviceExtension*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void* buffer = irp->AssociatedIrp.SystemBuffer; /* buffered I/O: input in, output out */
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR returned = 0;
    NTSTATUS status;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_READ_MESSAGE:
        status = ReadMessage(&extension->queue, buffer, outputLength, &returned);
        break;
    case IOCTL_ZINTAR_PUSH:
        status = PushMessages(&extension->queue, (const unsigned char*)buffer, inputLength);
        break;
    case IOCTL_ZINTAR_STATS:
        status = ReadStats(&extension->queue, buffer, outputLength, &returned);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return CompleteRequest(irp, status, returned);
}

static void ReleaseDevice(PDEVICE_OBJECT device)
{
    ZintarDeviceExtension* extension = (ZintarDeviceExtension*)device->DeviceExtension;
    UNICODE_STRING linkName;
    if (extension->linkCreated) {
        RtlInitUnicodeString(&linkName, ZINTAR_KERNEL_LINK_NAME);
        IoDeleteSymbolicLink(&linkName);
    }
    if (extension->queue.ring != NULL)
        ExFreePoolWithTag(extension->queue.ring, ZINTAR_POOL_TAG);
    extension->queue.ring = NULL;
    IoDeleteDevice(device);
}

static void DriverUnload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    if (zintarDevice != NULL)
        ReleaseDevice(zintarDevice);
    zintarDevice = NULL;
}

/* Only LocalSystem and Administrators may open the device: any other user could drain the
 * service's messages or forge some. IoCreateDeviceSecure would say so in SDDL, but its library
 * comes with the WDK only, so the DACL is built by hand and set on the device object. */
static NTSTATUS AdmitOnlySystemAndAdministrators(PDEVICE_OBJECT device)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, 5}}; /* SECURITY_NT_AUTHORITY */
    ULONG sidLength = RtlLengthRequiredSid(2);
    ULONG aclLength = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) + sidLength);
    unsigned char* memory =
        (unsigned char*)ExAllocatePoolWithTag(PagedPool, 2 * sidLength + aclLength, ZINTAR_POOL_TAG);
    PSID system, administrators;
    PACL acl;
    SECURITY_DESCRIPTOR descriptor;
    HANDLE handle;
    NTSTATUS status;

    if (memory == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    system = (PSID)memory;
    administrators = (PSID)(memory + sidLength);
    acl = (PACL)(memory + 2 * sidLength);
    RtlInitializeSid(system, &ntAuthority, 1);
    *RtlSubAuthoritySid(system, 0) = SECURITY_LOCAL_SYSTEM_RID;
    RtlInitializeSid(administrators, &ntAuthority, 2);
    *RtlSubAuthoritySid(administrators, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *RtlSubAuthoritySid(administrators, 1) = DOMAIN_ALIAS_RID_ADMINS;
    status = RtlCreateAcl(acl, aclLength, ACL_REVISION);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system);
    if (NT_SUCCESS(status))
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    if (NT_SUCCESS(status))
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode, &handle);
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    ExFreePoolWithTag(memory, ZINTAR_POOL_TAG);
    return status;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    ZintarDeviceExtension* extension;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(registryPath);
    RtlInitUnicodeString(&deviceName, ZINTAR_KERNEL_DEVICE_NAME);
    status = IoCreateDevice(driver, sizeof(ZintarDeviceExtension), &deviceName, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &zintarDevice);
    if (!NT_SUCCESS(status))
        return status;

    extension = (ZintarDeviceExtension*)zintarDevice->DeviceExtension;
    RtlZeroMemory(extension, sizeof *extension);
    status = AdmitOnlySystemAndAdministrators(zintarDevice);
    if (!NT_SUCCESS(status)) {
        DbgPrint("zintar: the device's security could not be set (0x%08lx)\n", (unsigned long)status);
        ReleaseDevice(zintarDevice);
        zintarDevice = NULL;
        return status;
    }
    ExInitializeFastMutex(&extension->queue.lock);
    extension->queue.ring = (unsigned char*)ExAllocatePoolWithTag(
        PagedPool, (SIZE_T)ZINTAR_QUEUE_CAPACITY * ZINTAR_MESSAGE_SIZE, ZINTAR_POOL_TAG);
    if (extension->queue.ring == NULL) {
        ReleaseDevice(zintarDevice);
        zintarDevice = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlInitUnicodeString(&linkName, ZINTAR_KERNEL_LINK_NAME);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        ReleaseDevice(zintarDevice);
        zintarDevice = NULL;
        return status;
    }
    extension->linkCreated = TRUE;

    zintarDevice->Flags |= DO_BUFFERED_IO;
    zintarDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
