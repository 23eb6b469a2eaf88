// A shared library without the registration exports, for zarvion-regsvr's
// refusal.
extern "C" int zarvion_test_plain_value() {
  return 7;
}
