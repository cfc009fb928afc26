#include "config/DefaultServers.h"

const std::vector<CServer>& DefaultServers() {
    // Where each address comes from (the host name it stands for, and who
    // publishes it). The titles are shown to the user as they stand, blanks included.
    static const std::vector<CServer> servers = {
        // time-a-g.nist.gov, NIST Internet Time Service list
        {"USA. NIST, Gaithersburg, Maryland - 1", "129.6.15.28", 0},
        // time-b-g.nist.gov, NIST Internet Time Service list
        {"USA. NIST, Gaithersburg, Maryland - 2", "129.6.15.29", 0},
        // time-a-b.nist.gov, NIST Internet Time Service list
        {"USA. NIST, Boulder, Colorado -1", "132.163.96.1", 0},
        // time-b-b.nist.gov, NIST Internet Time Service list
        {"USA. NIST, Boulder, Colorado -2", "132.163.96.2", 0},
        // time-c-b.nist.gov, NIST Internet Time Service list
        {"USA. NIST, Boulder, Colorado -3", "132.163.96.3", 0},
        // utcnist.colorado.edu, run by NIST at the University; NIST Internet Time Service list
        {"USA. University of Colorado, Boulder", "128.138.140.44", 0},
        // time-nw.nist.gov, hosted by Microsoft in Redmond; NIST Internet Time Service list
        {"USA. Microsoft, Redmond, Washington", "131.107.13.100", 0},
        // nist1.dc.certifiedtime.com, hosted by AboveNet; an earlier edition of the
        // NIST Internet Time Service list (the host has since left the list)
        {"USA. Abovnet, Virginia", "216.200.93.8", 0},
        // ntp.cs.mu.oz.au, the University's public time server in the public NTP
        // server lists (university network 128.250.0.0/16)
        {"Australia. The University of Melbourne", "128.250.36.2", 0},
        // a host of the University's computer science department (ntp.dcc.uchile.cl),
        // network 146.83.0.0/16, from memory of the public NTP server lists
        {"Chile.     Universidad de Chile. Santiago", "146.83.4.11", 0},
        // SYRTE's public stratum-1 server at the Observatoire
        {"France.    Observatoire de Paris", "ntp-p1.obspm.fr", 0},
        // ntps1-0.cs.tu-berlin.de, public NTP server lists
        {"Germany.   Technische Universitaet Berlin - 1", "130.149.17.21", 0},
        // ntps1-1.cs.tu-berlin.de, public NTP server lists
        {"Germany.   Technische Universitaet Berlin - 2", "130.149.17.8", 0},
        // ntp1.ien.it (now ntp1.inrim.it), the Italian time institute's own service page
        {"Italy.     IEN Galileo Ferraris, Torino", "193.204.114.232", 0},
        // the University's public stratum-1 server, public NTP server lists
        {"Japan.     Fukuoka university", "clock.nc.fukuoka-u.ac.jp", 0},
        // the University's time server (uit.no is the University of Tromsoe)
        {"Norway.    University of Tromsoe", "ntp.uit.no", 0},
        // time1.stupi.se, public NTP server lists
        {"Sweden.    Stupi AB, Stockholm", "192.36.143.150", 0},
        // swisstime.ee.ethz.ch, run by the Laboratory at ETH; public NTP server lists
        {"Switzerland. Integrated Systems Laboratory. Zurich", "129.132.2.21", 0},
    };
    return servers;
}

void RestoreDefaultServers(CRegArray<CServer>& list) {
    RestoreDefaultServers(list, DefaultServers());
}

void RestoreDefaultServers(CRegArray<CServer>& list, const std::vector<CServer>& table) {
    std::vector<CServer> kept;
    for (const CServer& server : list) {
        if (server.kind != 0) {
            kept.push_back(server);
        }
    }
    list.RemoveAll();
    for (const CServer& server : kept) {
        list.Add(server);
    }
    for (const CServer& server : table) {
        list.Add(server);
    }
}
