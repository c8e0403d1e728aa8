"""The script client's failures and typed values, against the kivd that
com/python_client_test.cc starts; KIV_TEST_LIBKIV and KIV_TEST_CLI name the
built library and `kiv`."""

import datetime
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kiv_automation as kiv  # noqa: E402


def serve(source, service, value):
    if service == "Raise":
        raise RuntimeError("asked to raise")
    if service == "Odd":
        return {"a set has no VARIANT form"}
    if service == "Slow":
        time.sleep(1.5)
    return value


class ScriptClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        kiv.register_server(os.environ["KIV_TEST_LIBKIV"])
        cls.sat = kiv.KivIn.create()
        cls.sat.on_service_requested = serve
        cls.sat.register("127.0.0.1", "PyTest", [(s, s) for s in ("Echo", "Raise", "Odd", "Slow")])

    @classmethod
    def tearDownClass(cls):
        cls.sat.close()

    def cli(self, service, value):
        """`kiv call` on PyTest: (its JSON answer, its standard error)."""
        done = subprocess.run(
            [os.environ["KIV_TEST_CLI"], "call", "--to", "PyTest", service, value],
            capture_output=True,
            text=True,
            timeout=30,
        )
        return json.loads(done.stdout), done.stderr

    def test_failed_handlers_answer_codes_and_warn(self):
        with self.assertLogs("kiv", "WARNING") as logs:
            with self.assertRaises(kiv.KivRemoteError) as raised:
                self.sat.request("PyTest", "Raise", 1)
            answer, errors = self.cli("Odd", "1")
            expected = {"statuses": [kiv.KIV_RC_VALUE_NOT_CONVERTIBLE], "values": [{"empty": None}]}
            self.assertEqual(answer, expected)  # and no half answer
            answer, errors = self.cli("Raise", "1")
            self.assertIn("0x00020031 KIV_RC_HANDLER_RAISED: the handler raised an exception", errors)
            answer, errors = self.cli("Echo", '{"date": "nan"}')
            self.assertIn("0x00020032 KIV_RC_VALUE_NOT_CONVERTIBLE: a value could not be converted", errors)
        self.assertEqual(raised.exception.code, kiv.KIV_RC_HANDLER_RAISED)
        self.assertIn("RuntimeError: asked to raise", logs.output[0])  # the traceback
        self.assertIn("service Odd: the answer, a Python set,", logs.output[1])
        self.assertIn("service Echo: the argument, VT_DATE,", logs.output[3])

    def test_typed_values_round_trip(self):
        moment = datetime.datetime(1899, 12, 29, 6, 0, 0, 250000)
        grid = kiv.TypedArray("i2", [[1, 2, 3], [4, 5, 6]], dims=2, lower=(1, 0))
        sent = [kiv.Int16(-5), kiv.UInt64(2**64 - 1), kiv.Float32(0.5), moment, grid, [[1], "x"]]
        (back,) = self.sat.request("PyTest", "Echo", sent)
        types = [kiv.Int16, kiv.UInt64, kiv.Float32, datetime.datetime]
        self.assertEqual([type(v) for v in back[:4]], types)
        self.assertEqual(back, sent)
        self.assertEqual((back[4].kind, back[4].shape, back[4].lower), ("i2", (2, 3), (1, 0)))
        # A native 2-D array: through the Python handler and back unchanged.
        form = {"array": "i4", "bounds": [[1, 2], [0, 3]], "data": [1, 2, 3, 4, 5, 6]}
        answer, _ = self.cli("Echo", json.dumps(form))
        self.assertEqual(answer, {"statuses": [0], "values": [form]})
        with self.assertRaises(OverflowError):
            kiv.UInt8(256)

    def test_failures_raise_by_kind(self):
        with self.assertRaises(kiv.KivNotFoundError) as raised:
            self.sat.request("Nobody", "Echo")
        self.assertEqual(raised.exception.code, kiv.KIV_RC_NOT_FOUND)
        started = time.monotonic()
        with self.assertRaises(kiv.KivTimeoutError) as own:
            self.sat.request("PyTest", "Slow", 1, timeout=0.3)
        self.assertLess(time.monotonic() - started, 1.2)
        with self.assertRaises(kiv.KivTimeoutError) as bounded:  # 30 s / KIV_TIME_SCALE 30
            self.sat.request("PyTest", "Slow", 1, timeout=10)
        self.assertEqual((own.exception.code, bounded.exception.code), (None, kiv.KIV_RC_TIMED_OUT))
        with kiv.KivIn.create() as lone, self.assertRaises(kiv.KivTransportError):
            lone.directory_register("127.0.0.1", 1, "Lone")  # no directory at port 1

    def test_unwritable_store_is_named_with_the_fix(self):
        with tempfile.NamedTemporaryFile() as plain:
            store = os.path.join(plain.name, "kiv", "registry.reg")
            os.environ["KIV_REGISTRY"], saved = store, os.environ["KIV_REGISTRY"]
            try:
                with self.assertRaises(kiv.KivError) as raised:
                    kiv.register_server(os.environ["KIV_TEST_LIBKIV"])
                message = str(raised.exception)
                self.assertIn("store %s: not a directory; set KIV_REGISTRY to a" % store, message)
            finally:
                os.environ["KIV_REGISTRY"] = saved


if __name__ == "__main__":
    unittest.main()
