# A remote I/O adapter for the tests: a Modbus TCP server (pymodbus) that
# answers any unit, logs every write and read it serves as a line
# "<function> <address> <count or values>" and serves fixed discrete inputs.
#   etnio_adapter.py ADDRESS PORT LOGFILE INPUT-BYTES-HEX
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartTcpServer

address, port, log_path, inputs_hex = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
logging.disable(logging.CRITICAL)


class Logged(ModbusSlaveContext):
    def _log(self, text):
        with open(log_path, "a") as f:
            f.write(text + "\n")

    def setValues(self, fc_as_hex, address, values):
        self._log("%d %d %s" % (fc_as_hex, address, ",".join(str(int(v)) for v in values)))
        return super().setValues(fc_as_hex, address, values)

    def getValues(self, fc_as_hex, address, count=1):
        self._log("%d %d %d" % (fc_as_hex, address, count))
        return super().getValues(fc_as_hex, address, count)


bits = []
for byte in bytes.fromhex(inputs_hex):
    bits += [(byte >> i) & 1 for i in range(8)]
bits += [0] * (2048 - len(bits))
store = Logged(
    di=ModbusSequentialDataBlock(0, bits),
    co=ModbusSequentialDataBlock(0, [0] * 2048),
    hr=ModbusSequentialDataBlock(0, [0] * 1024),
    ir=ModbusSequentialDataBlock(0, [0] * 16),
    zero_mode=True,
)
with open(log_path, "a") as f:
    f.write("listening\n")
StartTcpServer(
    context=ModbusServerContext(slaves=store, single=True), address=(address, port), allow_reuse_address=True
)
