# A Modbus server for the runtime Modbus tests (python3-pymodbus): answers
# unit 1 (any unit over TCP and UDP) from tables that start with known
# values, and logs every write as "<function> <address> <values>".
#   mb_server.py tcp|udp|rtu|ascii ADDRESS-OR-DEVICE PORT LOGFILE
# Holding register k (0-based) starts as 1000 + k, input register k as
# 2000 + k, coil k as k % 3 == 0, discrete input k as k % 2 == 0.
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer, StartTcpServer, StartUdpServer
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer

mode, where, port, log_path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
logging.disable(logging.CRITICAL)


class Logged(ModbusSlaveContext):
    def setValues(self, fc_as_hex, address, values):
        with open(log_path, "a") as f:
            f.write("%d %d %s\n" % (fc_as_hex, address, ",".join(str(int(v)) for v in values)))
        return super().setValues(fc_as_hex, address, values)


store = Logged(
    co=ModbusSequentialDataBlock(0, [k % 3 == 0 for k in range(2048)]),
    di=ModbusSequentialDataBlock(0, [k % 2 == 0 for k in range(2048)]),
    hr=ModbusSequentialDataBlock(0, [1000 + k for k in range(512)]),
    ir=ModbusSequentialDataBlock(0, [2000 + k for k in range(512)]),
    zero_mode=True,
)
context = ModbusServerContext(slaves=store, single=True)


def ready():
    with open(log_path, "a") as f:
        f.write("listening\n")


async def serial_server(framer):
    # Ready only once the device is open: bytes sent before would be lost.
    server = await StartAsyncSerialServer(context=context, framer=framer, port=where, baudrate=115200,
                                          defer_start=True)
    await server.start()
    ready()
    await server.serve_forever()


if mode in ("tcp", "udp"):
    ready()
if mode == "tcp":
    StartTcpServer(context=context, address=(where, port), allow_reuse_address=True)
elif mode == "udp":
    StartUdpServer(context=context, address=(where, port))
else:
    asyncio.run(serial_server(ModbusRtuFramer if mode == "rtu" else ModbusAsciiFramer))
