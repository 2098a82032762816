#pragma once

// D-Bus names under which camera-sim offers its parameter store and controls; shared by
// the simulator, its control tool and the platform stand-ins.
namespace SimBus {

constexpr const char* busName = "dev.orvane.CameraSim";
constexpr const char* objectPath = "/dev/orvane/CameraSim";

// Get(s name) -> (s value); Set(s name, s value); List() -> (a(ss));
// signal Changed(s name, s value), name spelt as the platform reports it (root.Group.Name).
constexpr const char* parametersInterface = "dev.orvane.CameraSim.Parameters";

// Credentials() -> (s user:password); RenewCredentials() -> (s); VapixFail(u status, u count).
constexpr const char* controlInterface = "dev.orvane.CameraSim.Control";

constexpr const char* unknownParameterError = "dev.orvane.CameraSim.Error.UnknownParameter";
constexpr const char* invalidArgumentError = "dev.orvane.CameraSim.Error.InvalidArgument";

// The VAPIX service-account credentials, as on a camera.
constexpr const char* credentialsBusName = "com.axis.HTTPConf1";
constexpr const char* credentialsObjectPath = "/com/axis/HTTPConf1/VAPIXServiceAccounts1";
constexpr const char* credentialsInterface = "com.axis.HTTPConf1.VAPIXServiceAccounts1";

} // namespace SimBus
