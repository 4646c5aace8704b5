// The web data items: address texts of web pages (TYPE_offset_bit_DATATYPE
// for controller registers, or the name of a variable of the running IEC
// application) resolved into register bit addresses; the table of the items
// web clients subscribed to; reading, writing and converting their values;
// the change polling that checks one item per server pass; and the
// controller-clock conversion for time stamps.
//
// Runs in the server thread; the tables are not shared with other threads.
#pragma once

#include "platform/bytes.h"

struct dartu_result_context;
struct dartu_subscription_item;
struct dartu_data_value;

constexpr u32 kDartuRegTypes = 18;
constexpr u32 kDartuDataTypes = 11;
extern const char* const RegTypeNames[kDartuRegTypes];
extern const char* const RegDataTypeName[kDartuDataTypes];
extern const u8 RegDataLength[8];

enum : u8 {
    kDtInt32 = 0, kDtInt16, kDtInt8, kDtUint32, kDtUint16, kDtUint8,
    kDtFloat32, kDtLreal64, kDtChar, kDtBool, kDtTime,
};

// Longest text item, and the most bits a numeric item reads.
constexpr u32 kDartuCharMax = 128;
constexpr u32 kDartuItemBitsMax = 2048;
constexpr u32 kDartuVariableRecords = 4096;
// Status of a write the register memory refused.
constexpr u32 kDartuWriteRefused = 405;

struct dartu_variable {
    char* name;
    int offset;
    u32 address;
    u8 reg_type;
    u8 bit;
    u8 data_type;
    u32 length;  // bits; for CHAR the number of characters
    union {
        u32 u;
        i16 i16v;
        i8 i8v;
        u8 b;
        float f;
        double d;
        char* text;
    } value;
    u32 stamp[2];  // seconds of the controller clock, nanoseconds
    u32 status;    // result of the last write
    dartu_subscription_item* subscription;
};

// Register bit address by type, offset and bit: 1, or 0 (output unchanged).
int EtnRdsPlcReg_Adr(u32* address, u32 type, u32 offset, u32 bit);
// Resolves the text (split in place) into the record: 1 or 0.
int dartu_parse_parameterized_variable(char* text, dartu_variable* record);

dartu_variable* dartu_register_in_variable_pointer_list(const char* name, u32 size);
int dartu_get_variable_pointer_list_index(const char* name);
int dartu_set_variable_pointer_list_index(const char* name);
u32 dartu_variable_pointer_count();
dartu_variable* dartu_variable_at(u32 index);

int dartu_check_updated_variable_value(dartu_variable* record);
void dartu_fill_variable_value(const dartu_variable* record, dartu_data_value* value);
void dartu_notify_variable(dartu_variable* record, dartu_data_value* value);
void dartu_automatic_update_variables();

void LoadStamp(u8* stamp6, const u16* clock_registers);
u32 dartu_Conversion_to_UTC_Time_func(const u8* stamp6);
// Controller-clock seconds from SR44-SR49.
u32 Dartu_ControllerSeconds();
u32 ConvertToAscii(char* text);
int isAscii(const char* text);

void dartu_read_data_simple_cb(dartu_result_context* result, void* user, const char* address);
void dartu_read_data_multi_cb(dartu_result_context* result, void* user, const char* const* addresses);
void dartu_write_data_simple_cb(dartu_result_context* result, void* user, const char* address, const char* value,
                                u32 value_length);
void dartu_write_data_multi_cb(dartu_result_context* result, void* user, const char* const* addresses,
                               const char* const* values, const u32* lengths);
void dartu_subscribe_data_cb(dartu_subscription_item* item, void* user, const char* address, void** handle,
                             u32* subscribed, i32* error);
void dartu_unsubscribe_data_cb(void* handle, i32* error);

// Server stop: the subscription layer is gone, so no item may notify
// through its old reference until it is subscribed again.
void Dartu_ItemsForgetSubscriptions();
// Empties both tables (tests start clean).
void Dartu_ItemsReset();
