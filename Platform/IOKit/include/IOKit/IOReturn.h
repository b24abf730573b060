/* Status codes of the IOKit stand-in: 32-bit values in the same space as the platform's kernel
   return codes, with the platform's numbers. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int kern_return_t;
typedef kern_return_t IOReturn;

#define kIOReturnSuccess ((IOReturn)0)
#define kIOReturnError ((IOReturn)0xe00002bc)         /* general error */
#define kIOReturnNoMemory ((IOReturn)0xe00002bd)      /* cannot allocate memory */
#define kIOReturnNoResources ((IOReturn)0xe00002be)   /* resource shortage (descriptors, ...) */
#define kIOReturnNoDevice ((IOReturn)0xe00002c0)      /* no such device */
#define kIOReturnNotPrivileged ((IOReturn)0xe00002c1) /* privilege violation */
#define kIOReturnBadArgument ((IOReturn)0xe00002c2)   /* invalid argument */
#define kIOReturnUnsupported ((IOReturn)0xe00002c7)   /* unsupported function */
#define kIOReturnIOError ((IOReturn)0xe00002ca)       /* general I/O error */
#define kIOReturnNotReadable ((IOReturn)0xe00002ce)   /* read not supported */
#define kIOReturnBusy ((IOReturn)0xe00002d5)          /* device busy */
#define kIOReturnNoSpace ((IOReturn)0xe00002db)       /* no space for data */
#define kIOReturnNotPermitted ((IOReturn)0xe00002e2)  /* not permitted */
#define kIOReturnNotFound ((IOReturn)0xe00002f0)      /* data was not found */

#ifdef __cplusplus
}
#endif
