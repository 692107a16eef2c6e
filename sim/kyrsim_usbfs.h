/*
 * kyrsim_usbfs: the usbfs front end of the camera simulator.
 *
 * The cameras of the device model (kyrsim.h) are described in a umockdev test
 * bed, whose /sys and /dev/bus/usb the real libusb-1.0 reads, and an ioctl
 * handler answers the usbfs ioctls libusb sends on their device files from
 * the model: control and bulk URBs, reaping and discarding them, interface
 * claims, capabilities, reset and clearing a halt. The process runs under
 * umockdev-wrapper (umockdev's preload library); the handler runs on the test
 * bed's own thread and on threads of this library. The kyrsim control API
 * works on the same cameras (faults, registers, request log).
 */
#ifndef KYRSIM_USBFS_H
#define KYRSIM_USBFS_H

#include <kyrsim.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the emulated usbfs reports as its host controller's capabilities. */
#define KYRSIM_USBFS_SCATTER_GATHER 0 /* with scatter-gather: libusb sends a bulk transfer as one URB */
#define KYRSIM_USBFS_CONTINUATION 1   /* without: libusb cuts a bulk transfer into URBs of 16 KiB */

/* Makes the test bed (sets UMOCKDEV_DIR for this process) and starts the
 * handler; 0, or -1 when the process does not run under the umockdev preload
 * or the test bed is already made. */
int kyrsim_usbfs_start(int mode);

/* Unplugs every camera and removes the test bed. */
void kyrsim_usbfs_stop(void);

/* Plugs a camera into the model and describes it in the test bed: the hubs on
 * its way, its sysfs node (bus, port path, address, speed and descriptors) and
 * its device file. ports must name at least one port. A kyrsim handle, or -1. */
int kyrsim_usbfs_plug(int product_id, int bus, const char *ports);
int kyrsim_usbfs_plug_ex(const struct kyrsim_device_config *cfg);

/* Unplugs the camera as the kernel sees it: its URBs in flight complete with
 * ENODEV, its node leaves the test bed with a remove event, and later ioctls
 * on files still open fail with ENODEV. 0, or -1. */
int kyrsim_usbfs_unplug(int handle);

/* Counters since kyrsim_usbfs_start. */
#define KYRSIM_USBFS_Q_BULK_URBS 0     /* bulk URBs submitted */
#define KYRSIM_USBFS_Q_CONTROL_URBS 1  /* control URBs submitted */
#define KYRSIM_USBFS_Q_BULK_URB_MIN 2  /* smallest and largest bulk URB (bytes) */
#define KYRSIM_USBFS_Q_BULK_URB_MAX 3
#define KYRSIM_USBFS_Q_DISCARDS 4      /* DISCARDURB calls */
#define KYRSIM_USBFS_Q_REAPS 5         /* URBs reaped */
#define KYRSIM_USBFS_Q_EMPTY_REAPS 6   /* reaps that found nothing (EAGAIN or ENODEV) */
#define KYRSIM_USBFS_Q_OPEN_FILES 7    /* device files open now */
#define KYRSIM_USBFS_Q_PENDING_URBS 8  /* URBs submitted and not yet reaped, on files open now */
#define KYRSIM_USBFS_Q_ENODEV_URBS 9   /* URBs that completed with ENODEV */
#define KYRSIM_USBFS_Q_SPLIT_URBS 10   /* bulk URBs that continue another (libusb's split transfers) */
/* The counter's value, or -1 for an unknown one. */
long long kyrsim_usbfs_query(int what);

#ifdef __cplusplus
}
#endif

#endif
