/*
 * KYRCamera.h - the camera library's exported interface.
 *
 * Self-contained C11 / C++ header: the records and enumerations of the exported
 * interface and its 42 functions, with C linkage. The two records keep their
 * field order and `long` sizes, so that they are 240 and 248 bytes on 32-bit
 * ARM hard-float, where callers built against older headers exist.
 */
#ifndef KYR_CAMERA_H
#define KYR_CAMERA_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KYRCAMERA_API __attribute__((visibility("default")))
#else
#define KYRCAMERA_API
#endif

typedef enum KYR_BOOL { KYR_FALSE = 0, KYR_TRUE = 1 } KYR_BOOL;

typedef enum KYR_BAYER_PATTERN { BAYER_RG = 0, BAYER_BG, BAYER_GR, BAYER_GB } KYR_BAYER_PATTERN;

typedef enum KYR_IMG_TYPE {
    IMG_RAW8 = 0,
    IMG_RGB24,
    IMG_RAW16,
    IMG_Y8,
    IMG_END = -1
} KYR_IMG_TYPE;
typedef KYR_IMG_TYPE IMG_TYPE;

typedef enum KYR_GUIDE_DIRECTION {
    GUIDE_NORTH = 0,
    GUIDE_SOUTH,
    GUIDE_EAST,
    GUIDE_WEST
} KYR_GUIDE_DIRECTION;
typedef KYR_GUIDE_DIRECTION GuideD;

typedef enum KYR_ERROR_CODE {
    KYR_SUCCESS = 0,
    KYR_ERROR_INVALID_INDEX,
    KYR_ERROR_ID,
    KYR_ERROR_INVALID_CONTROL_TYPE,
    KYR_ERROR_CAMERA_CLOSED,
    KYR_ERROR_CAMERA_REMOVED,
    KYR_ERROR_INVALID_PATH,
    KYR_ERROR_INVALID_FILEFORMAT,
    KYR_ERROR_INVALID_SIZE,
    KYR_ERROR_INVALID_IMGTYPE,
    KYR_ERROR_OUTOF_BOUNDARY,
    KYR_ERROR_TIMEOUT,
    KYR_ERROR_INVALID_SEQUENCE,
    KYR_ERROR_BUFFER_TOO_SMALL,
    KYR_ERROR_VIDEO_MODE_ACTIVE,
    KYR_ERROR_EXPOSURE_IN_PROGRESS,
    KYR_ERROR_GENERAL_ERROR,
    KYR_ERROR_INVALID_MODE,
    KYR_ERROR_END
} KYR_ERROR_CODE;

typedef struct _KYR_CAMERA_INFO {
    char name[64];
    int camera_id;
    long max_height;
    long max_width;
    KYR_BOOL is_color;
    KYR_BAYER_PATTERN bayer;
    int supported_bins[16];         /* ascending, ended by 0 */
    IMG_TYPE supported_image_types[8]; /* ended by IMG_END */
    double pixel_size_um;
    KYR_BOOL mechanical_shutter;
    KYR_BOOL st4_port;
    KYR_BOOL has_cooler;
    KYR_BOOL is_usb3_host;
    KYR_BOOL is_usb3;
    float elec_per_adu;
    int bit_depth;
    KYR_BOOL is_trigger;
    char unused[16];
} KYR_CAMERA_INFO;

typedef enum KYR_CONTROL_TYPE {
    KYR_GAIN = 0,
    KYR_EXPOSURE,
    KYR_GAMMA,
    KYR_WB_R,
    KYR_WB_B,
    KYR_OFFSET,
    KYR_BANDWIDTH,
    KYR_OVERCLK,
    KYR_TEMPERATURE,
    KYR_FLIP,
    KYR_AUTO_MAX_GAIN,
    KYR_AUTO_MAX_EXP,
    KYR_AUTO_TARGET_BRIGHTNESS,
    KYR_HARDWARE_BIN,
    KYR_HIGH_SPEED_MODE,
    KYR_COOLER_POWER_PERC,
    KYR_TARGET_TEMP,
    KYR_COOLER_ON,
    KYR_MONO_BIN,
    KYR_FAN_ON,
    KYR_PATTERN_ADJUST,
    KYR_ANTI_DEW_HEATER
} KYR_CONTROL_TYPE;

typedef struct _KYR_CONTROL_CAPS {
    char name[64];
    char description[128];
    long max_value;
    long min_value;
    long default_value;
    KYR_BOOL supports_auto;
    KYR_BOOL is_writable;
    KYR_CONTROL_TYPE control_type;
    char unused[32];
} KYR_CONTROL_CAPS;

typedef enum KYR_EXPOSURE_STATUS {
    KYR_EXP_IDLE = 0,
    KYR_EXP_WORKING,
    KYR_EXP_SUCCESS,
    KYR_EXP_FAILED
} KYR_EXPOSURE_STATUS;

typedef struct _KYR_ID {
    unsigned char id[8];
} KYR_ID;

typedef enum KYR_CAMERA_MODE {
    CAM_MODE_NORMAL = 0,
    CAM_MODE_TRIG_SOFT_EDGE,
    CAM_MODE_TRIG_RISE_EDGE,
    CAM_MODE_TRIG_FALL_EDGE,
    CAM_MODE_TRIG_SOFT_LEVEL,
    CAM_MODE_TRIG_HIGH_LEVEL,
    CAM_MODE_TRIG_LOW_LEVEL,
    CAM_MODE_END = -1
} KYR_CAMERA_MODE;
typedef KYR_CAMERA_MODE CAM_MODE;

typedef enum KYR_TRIG_OUTPUT {
    TRIG_OUTPUT_PIN_A = 0,
    TRIG_OUTPUT_PIN_B
} KYR_TRIG_OUTPUT;
typedef KYR_TRIG_OUTPUT Trig_Output_Pin;

typedef struct _KYR_SUPPORTED_MODE {
    CAM_MODE SupportedCameraMode[16]; /* ended by CAM_MODE_END */
} KYR_SUPPORTED_MODE;

/* Record sizes callers on 32-bit ARM hard-float rely on. */
#if defined(__arm__)
#ifdef __cplusplus
static_assert(sizeof(KYR_CAMERA_INFO) == 240, "KYR_CAMERA_INFO must be 240 bytes");
static_assert(sizeof(KYR_CONTROL_CAPS) == 248, "KYR_CONTROL_CAPS must be 248 bytes");
#else
_Static_assert(sizeof(KYR_CAMERA_INFO) == 240, "KYR_CAMERA_INFO must be 240 bytes");
_Static_assert(sizeof(KYR_CONTROL_CAPS) == 248, "KYR_CONTROL_CAPS must be 248 bytes");
#endif
#endif

/* A function that answers through pointers refuses a null one with
 * KYR_ERROR_GENERAL_ERROR and then changes nothing. KYRGetProductIDs is the
 * exception: a null array asks for the number of product IDs only. */
KYRCAMERA_API const char *KYRGetSDKVersion(void);
KYRCAMERA_API int KYRGetNumOfConnectedCameras(void);
KYRCAMERA_API int KYRGetProductIDs(int *pPIDs);
KYRCAMERA_API KYR_BOOL KYRCameraCheck(int iVID, int iPID);
KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraProperty(KYR_CAMERA_INFO *pKYRCameraInfo, int iCameraIndex);
KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraPropertyByID(int iCameraID, KYR_CAMERA_INFO *pKYRCameraInfo);
KYRCAMERA_API KYR_ERROR_CODE KYROpenCamera(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRInitCamera(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRCloseCamera(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRGetNumOfControls(int iCameraID, int *piNumberOfControls);
KYRCAMERA_API KYR_ERROR_CODE KYRGetControlCaps(int iCameraID, int iControlIndex, KYR_CONTROL_CAPS *pControlCaps);
KYRCAMERA_API KYR_ERROR_CODE KYRGetControlValue(int iCameraID, KYR_CONTROL_TYPE ControlType, long *plValue,
                                                KYR_BOOL *pbAuto);
KYRCAMERA_API KYR_ERROR_CODE KYRSetControlValue(int iCameraID, KYR_CONTROL_TYPE ControlType, long lValue,
                                                KYR_BOOL bAuto);
KYRCAMERA_API KYR_ERROR_CODE KYRSetROIFormat(int iCameraID, int iWidth, int iHeight, int iBin, IMG_TYPE Img_type);
KYRCAMERA_API KYR_ERROR_CODE KYRGetROIFormat(int iCameraID, int *piWidth, int *piHeight, int *piBin,
                                             IMG_TYPE *pImg_type);
KYRCAMERA_API KYR_ERROR_CODE KYRSetStartPos(int iCameraID, int iStartX, int iStartY);
KYRCAMERA_API KYR_ERROR_CODE KYRGetStartPos(int iCameraID, int *piStartX, int *piStartY);
KYRCAMERA_API KYR_ERROR_CODE KYRGetDroppedFrames(int iCameraID, int *piDropFrames);
KYRCAMERA_API KYR_ERROR_CODE KYREnableDarkSubtract(int iCameraID, char *pcBMPPath);
KYRCAMERA_API KYR_ERROR_CODE KYRDisableDarkSubtract(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRStartVideoCapture(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRStopVideoCapture(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRGetVideoData(int iCameraID, unsigned char *pBuffer, long lBuffSize, int iWaitms);
KYRCAMERA_API KYR_ERROR_CODE KYRPulseGuideOn(int iCameraID, GuideD direction);
KYRCAMERA_API KYR_ERROR_CODE KYRPulseGuideOff(int iCameraID, GuideD direction);
/* The second argument is accepted for source compatibility and not read. */
KYRCAMERA_API KYR_ERROR_CODE KYRStartExposure(int iCameraID, KYR_BOOL bIsDark);
KYRCAMERA_API KYR_ERROR_CODE KYRStopExposure(int iCameraID);
KYRCAMERA_API KYR_ERROR_CODE KYRGetExpStatus(int iCameraID, KYR_EXPOSURE_STATUS *pExpStatus);
KYRCAMERA_API KYR_ERROR_CODE KYRGetDataAfterExp(int iCameraID, unsigned char *pBuffer, long lBuffSize);
KYRCAMERA_API KYR_ERROR_CODE KYRGetID(int iCameraID, KYR_ID *pID);
KYRCAMERA_API KYR_ERROR_CODE KYRSetID(int iCameraID, KYR_ID ID);
KYRCAMERA_API KYR_ERROR_CODE KYRGetGainOffset(int iCameraID, int *pOffset_HighestDR, int *pOffset_UnityGain,
                                              int *pGain_LowestRN, int *pOffset_LowestRN);
KYRCAMERA_API KYR_ERROR_CODE KYRGetLMHGainOffset(int iCameraID, int *pLGain, int *pMGain, int *pHGain,
                                                 int *pHOffset);
KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraSupportMode(int iCameraID, KYR_SUPPORTED_MODE *pSupportedMode);
KYRCAMERA_API KYR_ERROR_CODE KYRGetCameraMode(int iCameraID, CAM_MODE *mode);
KYRCAMERA_API KYR_ERROR_CODE KYRSetCameraMode(int iCameraID, CAM_MODE mode);
KYRCAMERA_API KYR_ERROR_CODE KYRSendSoftTrigger(int iCameraID, KYR_BOOL bStart);
KYRCAMERA_API KYR_ERROR_CODE KYRGetSerialNumber(int iCameraID, KYR_ID *pSN);
KYRCAMERA_API KYR_ERROR_CODE KYRSetTriggerOutputIOConf(int iCameraID, Trig_Output_Pin pin, KYR_BOOL bPinHigh,
                                                       long lDelay, long lDuration);
KYRCAMERA_API KYR_ERROR_CODE KYRGetTriggerOutputIOConf(int iCameraID, Trig_Output_Pin pin, KYR_BOOL *bPinHigh,
                                                       long *lDelay, long *lDuration);
KYRCAMERA_API KYR_ERROR_CODE KYREnableDebugLog(int iCameraID, KYR_BOOL bEnable);
KYRCAMERA_API KYR_ERROR_CODE KYRGetDebugLogIsEnabled(int iCameraID, KYR_BOOL *pbEnabled);

#ifdef __cplusplus
}
#endif

#endif /* KYR_CAMERA_H */
