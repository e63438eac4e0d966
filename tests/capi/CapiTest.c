/* The C interface, compiled as C, against the virtual box: each function
 * reaches its member (the box's packets or the status word show it), null
 * handles and bad indices give their defined results. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TestBox.h"
#include "zPLR_c.h"

static int failures;
static const char *current = "";

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "%s:%d [%s]: %s\n", __FILE__, __LINE__, current, #cond); \
            ++failures;                                                               \
        }                                                                             \
    } while (0)
#define CHECK_EQ(a, b)                                                                  \
    do {                                                                                \
        long long a_ = (long long)(a), b_ = (long long)(b);                             \
        if (a_ != b_) {                                                                 \
            fprintf(stderr, "%s:%d [%s]: %s is %lld, expected %lld\n", __FILE__, __LINE__, \
                    current, #a, a_, b_);                                               \
            ++failures;                                                                 \
        }                                                                               \
    } while (0)

/* The last packet the box received (byte 0 is 0 when there is none). */
static void last_packet(uint8_t p[64])
{
    int32_t n = zplr_testbox_packet_count(0);
    memset(p, 0, 64);
    if (n > 0)
        zplr_testbox_packet(0, n - 1, p);
}

/* Finds the first packet of a code since the last clear; 1 found. */
static int find_packet(uint8_t code, uint8_t p[64])
{
    int32_t i, n = zplr_testbox_packet_count(0);
    for (i = 0; i < n; ++i)
        if (zplr_testbox_packet(0, i, p) && p[0] == code)
            return 1;
    return 0;
}

static void null_handles_and_bad_indices(void)
{
    uint8_t buf[256] = {0};
    char text[32] = "x";
    current = "null handles and bad indices";
    CHECK(zplr_open(-1) == NULL);
    CHECK(zplr_open(4) == NULL);
    CHECK(zplr_open(1000) == NULL);
    zplr_close(NULL);

    CHECK_EQ(zplr_pick_up(NULL), -4);
    CHECK_EQ(zplr_dial(NULL, "123"), -4);
    CHECK_EQ(zplr_start_record(NULL, "x.wav", 0), -4);
    CHECK_EQ(zplr_stop_record(NULL), -4);
    CHECK_EQ(zplr_start_play(NULL, "x.wav", 0, 0, 1, 1), -4);
    CHECK_EQ(zplr_read_call_nmb(NULL, buf), -4);
    CHECK_EQ(zplr_get_dtmf_code(NULL, buf), -4);
    CHECK_EQ(zplr_pc_record_read(NULL, buf, 512), -4);
    CHECK_EQ(zplr_check_call_status(NULL), -4);
    CHECK_EQ(zplr_initial_usb_io_ex(NULL, 0), -4);
    CHECK_EQ(zplr_device_index(NULL), -4);
    CHECK_EQ(zplr_get_year(NULL, text), -4);
    CHECK_EQ(zplr_if_connect_usb(NULL), 1);
    CHECK_EQ(zplr_get_tel_status(NULL), 0x200);
    CHECK_EQ(zplr_record_length(NULL), 0);
    CHECK_EQ(zplr_play_bytes(NULL), 0);
    CHECK(strcmp(zplr_read_str_call_nmb(NULL), "") == 0);
    CHECK(strcmp(zplr_read_str_customer_id(NULL), "") == 0);
    zplr_read_version(NULL, text);
    CHECK_EQ(text[0], 0);
    zplr_read_version(NULL, NULL);
    /* Functions without a result do nothing. */
    zplr_clear_call_bit(NULL);
    zplr_set_tel_status(NULL, 0);
    zplr_play_seek(NULL, 500);
    zplr_set_key(NULL, buf);
    zplr_tel_sleep(NULL, 1000);
    zplr_if_not_complete_init_usb(NULL);
}

/* Index 3 has no box: a handle all the same, and the members' not-reachable
 * results once its session runs. */
static void index_without_box(void)
{
    zplr_box *h = zplr_open(3);
    current = "index without a box";
    CHECK(h != NULL);
    if (!h)
        return;
    CHECK_EQ(zplr_device_index(h), 3);
    CHECK_EQ(zplr_get_tel_status(h) & 0x200, 0x200);
    CHECK_EQ(zplr_initial_usb_io_ex(h, 0), 1);
    CHECK_EQ(zplr_if_connect_usb(h), 1);
    CHECK_EQ(zplr_pick_up(h), -1);
    CHECK_EQ(zplr_dial(h, "1"), -1);
    CHECK_EQ(zplr_exist_usb_io(h), 1);
    zplr_close(h);
}

/* One-argument commands: code and byte 1 as the box receives them. */
typedef int32_t (*command1)(zplr_box *, int32_t);
struct case1 {
    const char *name;
    command1 f;
    int32_t arg;
    uint8_t code, byte1;
};

static void commands_reach_the_box(zplr_box *h)
{
    static const struct case1 cases[] = {
        {"set_estimate_status", zplr_set_estimate_status, 0x105, 42, 0x05},
        {"set_next_call_delay", zplr_set_next_call_delay, 7, 23, 7},
        {"set_check_dtmf_call", zplr_set_check_dtmf_call, 1, 22, 1},
        {"set_get_fsk_oe_data", zplr_set_get_fsk_oe_data, 3, 43, 3},
        {"set_continue_return_450hz", zplr_set_continue_return_450hz, 2, 13, 2},
        {"set_detect_sound_value", zplr_set_detect_sound_value, 200, 46, 112},
        {"if_mic_out", zplr_if_mic_out, 1, 18, 1},
        {"if_mute", zplr_if_mute, 2, 17, 0},
        {"get_line_mic", zplr_get_line_mic, 1, 21, 1},
        {"set_amp", zplr_set_amp, 258, 39, 2},
    };
    static const struct {
        int32_t (*f)(zplr_box *, uint8_t *);
        uint8_t code;
    } records[] = {
        {zplr_read_zl_type, 27},    {zplr_read_adapt_char, 28},  {zplr_read_manu_serial, 29},
        {zplr_read_module_nmb, 30}, {zplr_read_customer_id, 31}, {zplr_read_hsp_info, 36},
        {zplr_read_writing_info_counter, 38}, {zplr_read_adc01_modified, 44},
        {zplr_read_sp_sum, 48},     {zplr_read_stm_device_id, 54},
    };
    uint8_t p[64], out[64];
    int32_t values[5] = {1, 2, 3, 4, 0x105};
    uint16_t words[4];
    size_t i;

    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        current = cases[i].name;
        zplr_testbox_clear_packets(0);
        CHECK_EQ(cases[i].f(h, cases[i].arg), 1);
        last_packet(p);
        CHECK_EQ(p[0], cases[i].code);
        CHECK_EQ(p[1], cases[i].byte1);
    }

    current = "no-argument commands";
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_detect_ring(h), 1);
    CHECK(find_packet(26, p));
    CHECK_EQ(zplr_fs_open(h), 1);
    CHECK(find_packet(18, p) && p[1] == 0);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_fs_close(h), 1);
    CHECK(find_packet(18, p) && p[1] == 1);
    CHECK(zplr_read_flags(h) >= 0);
    CHECK(find_packet(24, p));
    CHECK_EQ(zplr_check_can_next_call_in(h), 1);

    current = "commands with several arguments";
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_set_fsk_param(h, 0x101, 9), 1);
    CHECK(find_packet(50, p) && p[1] == 1 && p[2] == 9);
    CHECK_EQ(zplr_set_dial_para_to_zl(h, 4, 5, 6), 1);
    CHECK(find_packet(227, p) && p[1] == 4 && p[2] == 5 && p[3] == 6);
    CHECK_EQ(zplr_test_ctrl_out(h, 0x1FF, 2), 1);
    CHECK(find_packet(226, p) && p[1] == 0xFF && p[2] == 2);
    CHECK_EQ(zplr_test_u2(h, 0xAB), 1);
    CHECK(find_packet(224, p) && p[1] == 0xAB);
    CHECK_EQ(zplr_test_status(h, 0xCD), 1);
    CHECK(find_packet(225, p) && p[1] == 0xCD);
    CHECK_EQ(zplr_test_flash(h, 9, values), 1);
    CHECK(find_packet(228, p) && p[1] == 9 && p[2] == 1 && p[6] == 5);
    CHECK_EQ(zplr_test_flash(h, 9, NULL), -4);
    CHECK_EQ(zplr_mod_k_ver(h, 0x42), 1);
    CHECK(find_packet(49, p) && p[1] == 0x42);
    memset(out, 0x11, sizeof out);
    CHECK(zplr_set_zl_device_nmb(h, out) >= 0);
    CHECK(find_packet(51, p) && p[1] == 0x11 && p[18] == 0x11 && p[19] == 0);
    CHECK(zplr_get_oe_data(h, 5, out) >= 1);
    CHECK(find_packet(40, p) && p[1] == 5);

    current = "sound switches";
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_set_record_status(h, 1, 0x102), 1);
    CHECK(find_packet(7, p) && p[1] == 1 && p[2] == 2);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_set_record_status(h, 0, 0), 1);
    CHECK(find_packet(7, p) && p[1] == 0);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_set_play_status(h, 0, 1, 2, 3), 1);
    CHECK(find_packet(9, p) && p[1] == 0 && p[2] == 1 && p[3] == 2 && p[4] == 3);

    current = "records";
    for (i = 0; i < sizeof records / sizeof records[0]; ++i) {
        zplr_testbox_clear_packets(0);
        CHECK_EQ(records[i].f(h, out), 1);
        CHECK(find_packet(records[i].code, p));
    }
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_read_adc_mod_value(h, words), 1);
    CHECK(find_packet(53, p));
    CHECK_EQ(words[3], 0);
    CHECK(zplr_read_stm32_temp(h) >= 0);
    CHECK(find_packet(55, p));
    CHECK_EQ(zplr_read_customer_id(h, NULL), -4);
    CHECK(strstr(zplr_read_str_customer_id(h), "DEMO") != NULL);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_modify_customer_id(h, "NEWID0001"), 1);
    CHECK(find_packet(47, p));
    CHECK(strstr(zplr_read_str_customer_id(h), "NEWID0001") != NULL);
    {
        /* The module number comes under the key set last. */
        static const uint8_t zero[16] = {0}, other[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
        uint8_t a[17], b[17];
        zplr_set_key(h, other);
        CHECK_EQ(zplr_read_module_nmb(h, a), 1);
        zplr_set_key(h, zero);
        CHECK_EQ(zplr_read_module_nmb(h, b), 1);
        CHECK(memcmp(a, b, 16) != 0);
    }
    {
        static uint8_t flash[240];
        zplr_testbox_clear_packets(0);
        CHECK(zplr_write_data_to_flash(h, flash) >= 0);
        CHECK_EQ(zplr_testbox_packet_count(0), 4);
        CHECK(find_packet(25, p));
    }
    memset(out, 0, sizeof out);
    out[0] = 0x5A; /* bytes 0 to 59 go out from packet byte 4 on */
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_test_end0_wr(h, 0x70, out), 1);
    CHECK(find_packet(0x70, p) && p[4] == 0x5A);

    current = "raw packet";
    memset(out, 0, sizeof out);
    out[0] = 42;
    out[1] = 0x77;
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_write_data_to_usb(h, out), 1);
    CHECK(zplr_testbox_wait_packets(0, 1, 2000));
    last_packet(p);
    CHECK(p[0] == 42 && p[1] == 0x77);
    /* Its reply has come once the next command goes through. */
    CHECK_EQ(zplr_set_amp(h, 1), 1);
}

static void status_word_and_clock(zplr_box *h)
{
    char year[5], two[3], version[23];
    uint8_t up[3] = {1, 1, 1}, down[3] = {1, 0, 0};
    static const struct {
        const char *name;
        int32_t (*f)(zplr_box *, char *);
        int low, high;
    } clock[] = {{"month", zplr_get_month, 1, 12}, {"day", zplr_get_day, 1, 31}, {"hour", zplr_get_hour, 0, 23},
                 {"minute", zplr_get_minute, 0, 59}, {"second", zplr_get_second, 0, 60}};
    const int32_t saved = zplr_get_tel_status(h);
    int i;
    current = "status word";
    zplr_set_tel_status(h, 0x20000);
    CHECK_EQ(zplr_get_tel_status(h) & 0x20000, 0x20000);
    CHECK_EQ(zplr_read_busy_bit(h), 1);
    CHECK_EQ(zplr_read_busy_bit(h), 0);
    zplr_set_tel_status(h, 0x20000);
    zplr_clear_busy_check_bit(h);
    CHECK_EQ(zplr_get_tel_status(h) & 0x20000, 0);
    zplr_set_tel_status(h, saved | 0x1);
    zplr_clear_call_bit(h);
    CHECK_EQ(zplr_get_tel_status(h) & 0x1, 0);
    zplr_proc_zl_status(h, up); /* a status record reaches the decoder */
    CHECK_EQ(zplr_get_tel_status(h) & 0x2, 0x2);
    CHECK_EQ(zplr_read_phone_status(h), 1);
    CHECK_EQ(zplr_line_pick_up_mode(h), 1);
    zplr_proc_zl_status(h, down);
    CHECK_EQ(zplr_get_tel_status(h) & 0x2, 0);
    zplr_set_tel_status(h, saved | 0x20);
    CHECK_EQ(zplr_get_called_pick_up_status(h), 1);
    CHECK_EQ(zplr_get_called_pick_up_status(h), 0);
    CHECK_EQ(zplr_get_tel_status(h), saved);
    CHECK_EQ(zplr_set_dial_para(h, 5, 5, 6), 1);

    current = "clock and version";
    CHECK_EQ(zplr_get_year(h, year), 1);
    CHECK_EQ(strlen(year), 4);
    for (i = 0; i < 5; ++i) {
        current = clock[i].name;
        CHECK_EQ(clock[i].f(h, two), 1);
        CHECK(atoi(two) >= clock[i].low && atoi(two) <= clock[i].high);
    }
    CHECK_EQ(zplr_get_year(h, NULL), -4);
    zplr_read_version(h, version);
    CHECK(strcmp(version, "300 4 2014-03-24 16:15") == 0);
    zplr_tel_sleep(h, 1);
}

static void incoming_call(zplr_box *h)
{
    uint8_t number[61], code[2], codes[4] = {0, 0, 0, 0}, p[64];
    int i, got = 0;
    char keys[8] = {0};
    current = "incoming call";
    zplr_testbox_ring(0, "02155501234", ZPLR_TESTBOX_MDMF);
    for (i = 0; i < 400 && zplr_read_str_call_nmb(h)[0] == 0; ++i)
        zplr_tel_sleep(h, 5);
    CHECK(strcmp(zplr_read_str_call_nmb(h), "02155501234") == 0);
    CHECK_EQ(zplr_read_call_nmb(h, number), 1);
    CHECK(strcmp((const char *)number, "02155501234") == 0);
    CHECK_EQ(zplr_check_call_status(h), 0); /* reading the number acknowledged it */

    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_pick_up(h), 1);
    CHECK(find_packet(4, p) && p[1] == 0);
    CHECK_EQ(zplr_check_put_down(h), 1);
    CHECK_EQ(zplr_testbox_off_hook(0), 1);
    CHECK_EQ(zplr_line_pick_up_mode(h) > 0, 1);

    zplr_testbox_press_keys(0, "42#");
    for (i = 0; i < 400 && got < 3; ++i) {
        if (zplr_get_dtmf_code(h, code) == 1)
            keys[got++] = code[0] == 10 ? '0' : code[0] == 11 ? '*' : code[0] == 12 ? '#' : (char)('0' + code[0]);
        else
            zplr_tel_sleep(h, 5);
    }
    CHECK(strcmp(keys, "42#") == 0);
    CHECK_EQ(zplr_get_dtmf_code(h, code), -4);
    CHECK_EQ(zplr_get_dtmf_codes(h, codes), -4);
    zplr_testbox_press_keys(0, "7");
    for (i = 0; i < 400 && zplr_get_dtmf_codes(h, codes) != 1; ++i)
        zplr_tel_sleep(h, 5);
    CHECK_EQ(codes[0], 7);

    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_put_down(h), 1);
    CHECK(find_packet(3, p) && p[1] == 0);
    CHECK_EQ(zplr_check_put_down(h), 0);
    CHECK_EQ(zplr_pick_up_est(h, 9), 1);
    CHECK(find_packet(4, p) && p[1] == 1 && p[2] == 9);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_put_down_est(h, 8), 1);
    CHECK(find_packet(3, p) && p[1] == 8);
}

static void outgoing_call(zplr_box *h)
{
    char dialled[64];
    uint16_t pair[2];
    uint8_t p[64];
    current = "outgoing call";
    CHECK_EQ(zplr_dial(h, "95566"), -4); /* on hook */
    CHECK_EQ(zplr_pick_up(h), 1);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_dial(h, "95566"), 1);
    CHECK(find_packet(6, p));
    CHECK_EQ(p[22], 9);
    CHECK_EQ(p[26], 6);
    zplr_testbox_last_dialled(0, dialled, sizeof dialled);
    CHECK(strcmp(dialled, "95566") == 0);
    CHECK_EQ(zplr_dial(h, ""), -2);
    CHECK_EQ(zplr_get_450hz_recd(h, NULL), -4);
    CHECK(zplr_get_450hz_recd(h, pair) == 1 || zplr_get_450hz_recd(h, pair) == -2);
    CHECK_EQ(zplr_put_down(h), 1);
}

static void sound(zplr_box *h, const char *dir)
{
    char path[1024];
    uint8_t frames[513], block[512], p[64], *out;
    FILE *f;
    size_t n;
    int32_t size, i, rate = 0;

    current = "recording to a file";
    zplr_testbox_unpaced(0);
    snprintf(path, sizeof path, "%s/capi_record.wav", dir);
    CHECK_EQ(zplr_start_record(h, path, 0), -4); /* on hook */
    CHECK_EQ(zplr_start_record(h, path, 1), 1);
    CHECK_EQ(zplr_start_record(h, path, 1), -4); /* already running */
    for (i = 0; i < 400 && zplr_record_length(h) < 48 + 4000; ++i)
        zplr_tel_sleep(h, 5);
    size = zplr_stop_record(h);
    CHECK(size >= 48 + 4000);
    f = fopen(path, "rb");
    CHECK(f != NULL);
    if (f) {
        fseek(f, 0, SEEK_END);
        CHECK_EQ(ftell(f), size);
        fclose(f);
    }

    current = "playing a file";
    CHECK_EQ(zplr_file_exists(h, path), 1);
    CHECK_EQ(zplr_file_exists(h, NULL), 0);
    /* Command 9 on: byte 2 the mode, 3 the option's low byte, 4 the flag
     * (1 only for 1). */
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_start_play(h, path, 0, 1, 0x137, 7), 1);
    CHECK(find_packet(9, p));
    CHECK_EQ(p[1], 1);
    CHECK_EQ(p[2], 1);
    CHECK_EQ(p[3], 0x37);
    CHECK_EQ(p[4], 0);
    CHECK_EQ(zplr_stop_play(h), 1);
    zplr_testbox_clear_packets(0);
    CHECK_EQ(zplr_start_play(h, path, 0, 1, 0x37, 1), 1);
    CHECK(find_packet(9, p));
    CHECK_EQ(p[3], 0x37);
    CHECK_EQ(p[4], 1);
    for (i = 0; i < 1000 && (rate = zplr_play_rate(h)) >= 0 && rate != 1000; ++i)
        zplr_tel_sleep(h, 5);
    CHECK_EQ(rate, 1000);
    CHECK(zplr_play_bytes(h) >= (uint64_t)(size - 48));
    zplr_play_seek(h, 0);
    CHECK_EQ(zplr_stop_play(h), 1);
    n = zplr_testbox_sound_out(0, NULL, 0);
    CHECK(n >= (size_t)(size - 48) / 256 * 256);
    zplr_testbox_release(0);
    remove(path);

    current = "recording to memory";
    CHECK_EQ(zplr_pc_record_open(h, 1), 1);
    CHECK_EQ(zplr_pc_record_read(h, frames, 512), 512);
    CHECK(memcmp(frames, "stcq", 4) == 0);
    CHECK_EQ(zplr_pc_record_read(h, NULL, 512), -4);
    CHECK(zplr_pc_record_close(h) >= 512);

    current = "playing from memory";
    out = block;
    memset(out, 0x2A, sizeof block);
    n = zplr_testbox_sound_out(0, NULL, 0);
    CHECK_EQ(zplr_pc_play_open(h), 1);
    CHECK_EQ(zplr_pc_play_write(h, block, 512), 512);
    CHECK_EQ(zplr_pc_play_close(h), 1);
    CHECK_EQ(zplr_testbox_sound_out(0, NULL, 0), n + 512);
}

static void session(const char *dir)
{
    zplr_box *h = zplr_open(0), *second = zplr_open(0);
    current = "session";
    CHECK(h != NULL && second != NULL && h != second);
    if (!h || !second)
        return;
    CHECK_EQ(zplr_initial_usb_io_ex(h, 0), 1);
    zplr_if_not_complete_init_usb(h);
    {
        int i;
        for (i = 0; i < 400 && zplr_if_connect_usb(h) != 0; ++i)
            zplr_tel_sleep(h, 5);
    }
    CHECK_EQ(zplr_if_connect_usb(h), 0);
    CHECK_EQ(zplr_if_connect_usb(second), 0); /* one box behind both */

    commands_reach_the_box(h);
    status_word_and_clock(h);
    incoming_call(h);
    outgoing_call(h);
    sound(h, dir);

    current = "end";
    zplr_close(second); /* ends the box's session, as the destructor does */
    CHECK_EQ(zplr_if_connect_usb(h), 1);
    CHECK_EQ(zplr_pick_up(h), -1);
    CHECK_EQ(zplr_initial_usb_io_ex(h, 0), 1);
    CHECK_EQ(zplr_exist_usb_io(h), 1);
    CHECK_EQ(zplr_get_tel_status(h), 0x200);
    zplr_close(h);
}

int main(int argc, char **argv)
{
    const char *dir = argc > 1 ? argv[1] : ".";
    zplr_testbox_plug(0);
    null_handles_and_bad_indices();
    index_without_box();
    session(dir);
    if (failures) {
        fprintf(stderr, "%d failed\n", failures);
        return 1;
    }
    printf("C interface: all passed\n");
    return 0;
}
