// The drivers' own image formats. The exported interface maps raw 8-bit and Y8
// onto IMAGE_8BIT (told apart by the camera's raw-output flag), RGB24 onto
// IMAGE_RGB24 and raw 16-bit onto IMAGE_RAW16.
#ifndef KYR_IMAGE_TYPE_H
#define KYR_IMAGE_TYPE_H

enum IMAGE_TYPE {
    IMAGE_8BIT = 0,
    IMAGE_RGB24 = 1,
    IMAGE_YUV2 = 2,
    IMAGE_32BIT = 3,
    IMAGE_RAW16 = 4,
};

#endif
