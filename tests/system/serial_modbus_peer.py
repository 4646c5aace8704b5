# Peer of the serial Modbus system tests, run with /usr/bin/python3 and
# Debian's pymodbus. Prints one line per step, "NAME value", and "DONE".
#   serial_modbus_peer.py ascii DEVICE   the slave scenario over ASCII framing
#   serial_modbus_peer.py server DEVICE  an RTU slave (unit 5) for a master
import sys

from pymodbus.client import ModbusSerialClient
from pymodbus.diag_message import (ForceListenOnlyModeRequest, RestartCommunicationsOptionRequest,
                                   ReturnBusMessageCountRequest, ReturnQueryDataRequest)
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer


def out(name, value):
    print(name, value, flush=True)


def regs(r):
    return "ERR" if r.isError() else r.registers


def ascii_slave(device):
    c = ModbusSerialClient(device, framer=ModbusAsciiFramer, baudrate=9600, timeout=2,
                           broadcast_enable=True, retries=0)
    c.connect()
    out("W16", c.write_registers(3000, [11, 22, 33], slave=7).isError())
    out("R3", regs(c.read_holding_registers(3000, 3, slave=7)))
    out("MASK", c.mask_write_register(address=3000, and_mask=0x00F2, or_mask=0x0025, unit=7).isError())
    out("RW", regs(c.readwrite_registers(read_address=3000, read_count=3, write_address=3001,
                                         write_registers=[44], unit=7)))
    r = c.execute(ReturnQueryDataRequest(message=0x1234, unit=7))
    out("ECHO", "ERR" if r.isError() else list(r.message))
    # Broadcast: written by the slave, answered by nobody.
    c.write_register(3002, 55, slave=0)
    out("AFTERBC", regs(c.read_holding_registers(3002, 1, slave=7)))
    # Listen-only: silent until a restart, which is itself not answered.
    c.execute(ForceListenOnlyModeRequest(unit=7))
    c.params.timeout = 1
    out("LISTEN", regs(c.read_holding_registers(3000, 1, slave=7)))
    c.execute(RestartCommunicationsOptionRequest(unit=7))
    c.params.timeout = 2
    out("BACK", regs(c.read_holding_registers(3000, 1, slave=7)))
    r = c.execute(ReturnBusMessageCountRequest(unit=7))
    out("BUS", "ERR" if r.isError() else list(r.message))
    out("DONE", 1)


def server(device):
    from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
    from pymodbus.server import StartSerialServer
    store = ModbusSlaveContext(di=ModbusSequentialDataBlock(0, [1, 0, 1, 1] * 10),
                               co=ModbusSequentialDataBlock(0, [0, 1, 1, 0] * 10),
                               hr=ModbusSequentialDataBlock(0, list(range(100, 140))),
                               ir=ModbusSequentialDataBlock(0, list(range(200, 240))), zero_mode=True)
    context = ModbusServerContext(slaves={5: store}, single=False)
    StartSerialServer(context=context, framer=ModbusRtuFramer, port=device, baudrate=9600)


if __name__ == "__main__":
    {"ascii": ascii_slave, "server": server}[sys.argv[1]](sys.argv[2])
