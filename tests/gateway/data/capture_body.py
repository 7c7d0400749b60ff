import socket, sys
out = sys.argv[1]
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 0)); s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
data = b""
while b"\r\n\r\n" not in data: data += c.recv(65536)
head, body = data.split(b"\r\n\r\n", 1)
length = [int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0]
while len(body) < length: body += c.recv(65536)
c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"); c.close()
open(out, "wb").write(body[:length])
